#pragma once

#include "tools/localservice/DavServer.h"
#include "tools/localservice/HttpExchange.h"

namespace nimbuscrate::localservice {

// The media service's "v1/thumbnail": renders a drive's image with libvips
// at most `size` pixels on each side ("crop" 1 fills the square).
class Thumbnailer {
public:
    static constexpr int kMaxSize = 2048;
    // Sources with more pixels than this are refused before decoding.
    static constexpr long long kMaxSourcePixels = 100'000'000;

    explicit Thumbnailer(const DavServer& files);
    Reply handle(const IncomingRequest& request) const;

    // Starts libvips once for the process.
    static void initialise();

private:
    const DavServer& files_;
};

}  // namespace nimbuscrate::localservice
