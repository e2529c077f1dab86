#include "tests/tools/localservice/ServiceClient.h"

#include <algorithm>
#include <cctype>

namespace nimbuscrate::localservice::testing {

namespace {

size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto* reply = static_cast<Reply*>(user);
    reply->body.append(data, size * count);
    ++reply->writeCalls;
    return size * count;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* reply = static_cast<Reply*>(user);
    std::string line(data, size * count);
    auto colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        std::string value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ')) value.erase(value.begin());
        while (!value.empty() && (value.back() == '\r' || value.back() == '\n' || value.back() == ' ')) value.pop_back();
        reply->headers[name] = value;
    } else if (line.rfind("HTTP/", 0) == 0) {
        reply->headers.clear();  // a new response (after 100 Continue)
    }
    return size * count;
}

}  // namespace

Reply ServiceClient::perform(const Call& call) const {
    CURL* curl = curl_easy_init();
    Reply reply = performWith(curl, call);
    curl_easy_cleanup(curl);
    return reply;
}

std::vector<Reply> ServiceClient::performInOrder(const std::vector<Call>& calls) const {
    CURL* curl = curl_easy_init();
    std::vector<Reply> replies;
    for (const auto& call : calls) {
        replies.push_back(performWith(curl, call));
        curl_easy_reset(curl);
    }
    curl_easy_cleanup(curl);
    return replies;
}

Reply ServiceClient::performWith(CURL* curl, const Call& call) const {
    Reply reply;
    curl_slist* headers = nullptr;
    curl_slist* connectTo = nullptr;
    std::string route = "::127.0.0.1:" + std::to_string(service_.port());
    connectTo = curl_slist_append(connectTo, route.c_str());
    curl_easy_setopt(curl, CURLOPT_URL, call.url.c_str());
    curl_easy_setopt(curl, CURLOPT_CONNECT_TO, connectTo);
    curl_easy_setopt(curl, CURLOPT_PATH_AS_IS, 1L);
    if (call.trustServiceCa) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, service_.caCertificateFile().c_str());
    }
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, call.method.c_str());
    if (call.method == "HEAD") curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    for (const auto& header : call.headers) headers = curl_slist_append(headers, header.c_str());
    headers = curl_slist_append(headers, "Expect:");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    if (call.sendBody) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, call.body.data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(call.body.size()));
    }
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, call.timeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    reply.result = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_slist_free_all(headers);
    curl_slist_free_all(connectTo);
    return reply;
}

}  // namespace nimbuscrate::localservice::testing
