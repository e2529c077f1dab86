#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <stop_token>

#include "platform/http/HttpRequest.h"

namespace nimbuscrate {

// The one HTTP client of the process, over libcurl with OpenSSL. Calls block
// the calling thread until the reply is complete; a stop request on the token
// ends the transfer with CancellationError. Connections are kept open for
// the whole process and reused by the next request to the same server,
// whichever thread sends it.
//
// Failures without a usable reply throw TransportError; every HTTP status,
// 4xx and 5xx included, is a normal reply for the caller to judge.
class HttpTransport {
public:
    using Consumer = std::function<void(const std::uint8_t* data, std::size_t size)>;
    // Told the status and header fields of the reply that carries the body,
    // once, before its first byte reaches the consumer.
    using HeadHandler = std::function<void(long status, const HttpHeaders& headers)>;

    HttpTransport();

    // Reply body to memory.
    HttpResponse send(const HttpRequest& request, std::stop_token stop = {});
    // Reply body to a file (created or truncated; removed again when the
    // transfer fails). The body of an error status is written as well.
    HttpResponse download(const HttpRequest& request, const std::filesystem::path& destination,
                          std::stop_token stop = {});
    // Reply body handed piece by piece to a consumer as it arrives. An
    // exception thrown by the consumer ends the transfer and reaches the caller.
    HttpResponse stream(const HttpRequest& request, const Consumer& consumer, std::stop_token stop = {});
    HttpResponse stream(const HttpRequest& request, const HeadHandler& onHead, const Consumer& consumer,
                        std::stop_token stop = {});

    // The process-wide transport.
    static HttpTransport& shared();
};

}  // namespace nimbuscrate
