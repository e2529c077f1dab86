#pragma once

#include "app/views/AppModelPort.h"

namespace nimbuscrate {

// Opens links in the user's default browser; the result is not checked.
class DesktopLinkOpener final : public LinkOpener {
public:
    void open(const std::string& url) override;
};

}  // namespace nimbuscrate
