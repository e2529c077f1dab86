#pragma once

// A raw libcurl client for the local service's own tests: it reaches the
// production host names at the service's loopback address and trusts the
// service's CA, the way a development build of the client does.

#include <curl/curl.h>

#include <chrono>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tools/localservice/LocalService.h"

namespace nimbuscrate::localservice::testing {

struct Reply {
    CURLcode result = CURLE_OK;
    long status = 0;
    std::map<std::string, std::string> headers;  // lower-cased names
    std::string body;
    std::size_t writeCalls = 0;

    std::string header(const std::string& name) const {
        auto found = headers.find(name);
        return found == headers.end() ? std::string() : found->second;
    }
};

struct Call {
    std::string method = "GET";
    std::string url;
    std::vector<std::string> headers;
    std::string body;
    bool sendBody = false;
    bool trustServiceCa = true;
    long timeoutSeconds = 30;
};

class ServiceClient {
public:
    explicit ServiceClient(const LocalService& service) : service_(service) {}

    Reply perform(const Call& call) const;
    // The calls one after another on one handle, so libcurl keeps the
    // connection alive between them.
    std::vector<Reply> performInOrder(const std::vector<Call>& calls) const;

    Reply get(const std::string& url, std::vector<std::string> headers = {}) const {
        Call call;
        call.url = url;
        call.headers = std::move(headers);
        return perform(call);
    }
    Reply send(const std::string& method, const std::string& url, std::vector<std::string> headers,
               std::string body = {}, bool sendBody = true) const {
        Call call;
        call.method = method;
        call.url = url;
        call.headers = std::move(headers);
        call.body = std::move(body);
        call.sendBody = sendBody;
        return perform(call);
    }

private:
    Reply performWith(CURL* curl, const Call& call) const;

    const LocalService& service_;
};

inline std::string identityUrl(const std::string& path) { return "https://" + identityHost() + path; }
inline std::string webUrl(const std::string& path) { return "https://" + webAppHost() + path; }
inline std::string mediaUrl(const std::string& path) { return "https://" + mediaHost() + path; }
inline std::string tokenUrl() { return identityUrl("/realms/nimbuscrate/protocol/openid-connect/token"); }

}  // namespace nimbuscrate::localservice::testing
