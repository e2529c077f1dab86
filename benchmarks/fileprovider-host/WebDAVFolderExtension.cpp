#include "benchmarks/fileprovider-host/WebDAVFolderExtension.h"

#include <curl/curl.h>
#include <expat.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "platform/tasks/TaskPool.h"

namespace nimbuscrate::benchmarks {
namespace {

const char* kPropfindBody =
    "<?xml version=\"1.0\"?><d:propfind xmlns:d=\"DAV:\"><d:prop><d:resourcetype/><d:getcontentlength/>"
    "<d:getetag/></d:prop></d:propfind>";

size_t appendBody(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

size_t discardBody(char*, size_t size, size_t count, void*) { return size * count; }

size_t writeFile(char* data, size_t size, size_t count, void* target) {
    return std::fwrite(data, size, count, static_cast<FILE*>(target)) * size;
}

std::string percentEncodePath(const std::string& path) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
                     c == '-' || c == '_' || c == '.' || c == '~';
        if (plain) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

std::string percentDecode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// One configured transfer.
struct Request {
    CURL* curl = curl_easy_init();
    curl_slist* headers = nullptr;
    curl_slist* connectTo = nullptr;

    Request(const WebDAVAccess& access, const std::string& url) {
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_CAINFO, access.caFile.c_str());
        connectTo = curl_slist_append(connectTo, access.connectTo.c_str());
        curl_easy_setopt(curl, CURLOPT_CONNECT_TO, connectTo);
        curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 512L * 1024);
        headers = curl_slist_append(headers, ("Authorization: Bearer " + access.accessToken).c_str());
    }
    ~Request() {
        curl_slist_free_all(headers);
        curl_slist_free_all(connectTo);
        curl_easy_cleanup(curl);
    }
    void perform() {
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        auto code = curl_easy_perform(curl);
        if (code != CURLE_OK) throw std::runtime_error(curl_easy_strerror(code));
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        if (status < 200 || status > 299) throw std::runtime_error("HTTP status " + std::to_string(status));
    }
    void propfind() {
        headers = curl_slist_append(headers, "Depth: 1");
        headers = curl_slist_append(headers, "Content-Type: application/xml");
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "PROPFIND");
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, kPropfindBody);
    }
};

// The responses of a multistatus reply: href, collection flag, length, etag.
struct Entry {
    std::string href;
    bool folder = false;
    long long length = 0;
    std::string etag;
};

struct MultistatusParser {
    std::vector<Entry> entries;
    Entry current;
    std::string text;

    static void start(void* data, const char* name, const char**) {
        auto& self = *static_cast<MultistatusParser*>(data);
        std::string element(name);
        self.text.clear();
        if (element == "DAV:|response") self.current = Entry{};
        if (element == "DAV:|collection") self.current.folder = true;
    }
    static void end(void* data, const char* name) {
        auto& self = *static_cast<MultistatusParser*>(data);
        std::string element(name);
        if (element == "DAV:|href") self.current.href = self.text;
        if (element == "DAV:|getcontentlength") self.current.length = std::atoll(self.text.c_str());
        if (element == "DAV:|getetag") self.current.etag = self.text;
        if (element == "DAV:|response") self.entries.push_back(self.current);
        self.text.clear();
    }
    static void characters(void* data, const char* chars, int length) {
        static_cast<MultistatusParser*>(data)->text.append(chars, static_cast<size_t>(length));
    }

    void parse(const std::string& body) {
        XML_Parser parser = XML_ParserCreateNS(nullptr, '|');
        XML_SetUserData(parser, this);
        XML_SetElementHandler(parser, start, end);
        XML_SetCharacterDataHandler(parser, characters);
        bool ok = XML_Parse(parser, body.data(), static_cast<int>(body.size()), 1) == XML_STATUS_OK;
        XML_ParserFree(parser);
        if (!ok) throw std::runtime_error("unreadable multistatus reply");
    }
};

std::string hrefPathOf(const std::string& rootURL) {
    // "https://host/dav/spaces/x" -> "/dav/spaces/x"
    auto scheme = rootURL.find("://");
    auto slash = rootURL.find('/', scheme == std::string::npos ? 0 : scheme + 3);
    return slash == std::string::npos ? "/" : rootURL.substr(slash);
}

fp::Error failure(const std::string& why) {
    return fp::Error{fp::kCocoaErrorDomain, fp::CocoaErrorCode::connectionReplyInvalid, fp::ErrorUserInfo{why, nullptr}};
}

class FolderEnumerator final : public fp::Enumerator {
public:
    FolderEnumerator(std::shared_ptr<WebDAVFolderExtension> owner, TaskPool& tasks, std::string path)
        : owner_(std::move(owner)), tasks_(tasks), path_(std::move(path)) {}
    void invalidate() override {}
    void enumerateItems(fp::EnumerationObserverPtr observer, fp::Page) override {
        tasks_.submit([owner = owner_, path = path_, observer](std::stop_token) {
            try {
                observer->didEnumerate(owner->list(path));
                observer->finishUpTo(std::nullopt);
            } catch (const std::exception& error) {
                observer->finishWithError(failure(error.what()));
            }
        });
    }
    void enumerateChanges(fp::ChangeObserverPtr observer, fp::SyncAnchor anchor) override {
        tasks_.submit([owner = owner_, path = path_, observer, anchor](std::stop_token) {
            try {
                observer->didUpdate(owner->list(path));
                observer->finishChangesUpTo(anchor, false);
            } catch (const std::exception& error) {
                observer->finishWithError(failure(error.what()));
            }
        });
    }
    void currentSyncAnchor(std::function<void(std::optional<fp::SyncAnchor>)> completion) override {
        tasks_.submit([completion](std::stop_token) { completion(fp::SyncAnchor{'0'}); });
    }

private:
    std::shared_ptr<WebDAVFolderExtension> owner_;
    TaskPool& tasks_;
    std::string path_;
};

std::string pathOf(const fp::ItemId& identifier) {
    if (identifier == fp::kRootContainer) return "";
    if (identifier.rfind("path:", 0) == 0) return identifier.substr(5);
    return {};
}

}  // namespace

WebDAVFolderExtension::WebDAVFolderExtension(fp::ExtensionEnvironment environment, WebDAVAccess access)
    : environment_(std::move(environment)), access_(std::move(access)) {}

std::vector<fp::ItemPtr> WebDAVFolderExtension::list(const std::string& path) {
    std::string body;
    Request request(access_, access_.rootURL + percentEncodePath(path) + "/");
    request.propfind();
    curl_easy_setopt(request.curl, CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(request.curl, CURLOPT_WRITEDATA, &body);
    request.perform();
    MultistatusParser parser;
    parser.parse(body);
    const std::string self = hrefPathOf(access_.rootURL) + percentEncodePath(path) + "/";
    std::vector<fp::ItemPtr> items;
    for (const auto& entry : parser.entries) {
        std::string href = entry.href;
        while (href.size() > 1 && href.back() == '/') href.pop_back();
        if (href + "/" == self || href == self) continue;
        std::string name = percentDecode(href.substr(href.find_last_of('/') + 1));
        fp::ItemProperties properties;
        properties.identifier = "path:" + path + "/" + name;
        properties.parent = path.empty() ? fp::kRootContainer : "path:" + path;
        properties.filename = name;
        properties.contentType = entry.folder ? fp::ContentType::folder() : fp::ContentType::data();
        properties.documentSize = entry.folder ? std::optional<std::int64_t>() : std::optional<std::int64_t>(entry.length);
        properties.capabilities = fp::Capability::allowsReading;
        properties.creationDate = std::optional<Date>(Date::fromUnixSeconds(1'700'000'000));
        properties.contentModificationDate = properties.creationDate;
        fp::Bytes etag(entry.etag.begin(), entry.etag.end());
        properties.version = fp::ItemVersion{etag, etag};
        items.push_back(fp::ItemSnapshot::make(std::move(properties)));
    }
    return items;
}

void WebDAVFolderExtension::download(const std::string& path, const std::filesystem::path& file) {
    FILE* out = std::fopen(file.c_str(), "wb");
    if (!out) throw std::runtime_error("cannot write " + file.string());
    Request request(access_, access_.rootURL + percentEncodePath(path));
    curl_easy_setopt(request.curl, CURLOPT_WRITEFUNCTION, writeFile);
    curl_easy_setopt(request.curl, CURLOPT_WRITEDATA, out);
    try {
        request.perform();
    } catch (...) {
        std::fclose(out);
        throw;
    }
    if (std::fclose(out) != 0) throw std::runtime_error("cannot write " + file.string());
}

fp::ProgressPtr WebDAVFolderExtension::item(const fp::ItemId&, ItemCompletion done) {
    environment_.tasks->submit([done](std::stop_token) { done(nullptr, fp::Error::fileProvider(fp::FileProviderErrorCode::noSuchItem)); });
    return fp::Progress::make(1);
}

fp::EnumeratorPtr WebDAVFolderExtension::enumerator(const fp::ItemId& container, std::optional<fp::Error>& error) {
    if (container != fp::kRootContainer && container.rfind("path:", 0) != 0) {
        error = fp::Error::fileProvider(fp::FileProviderErrorCode::noSuchItem);
        return nullptr;
    }
    return std::make_shared<FolderEnumerator>(shared_from_this(), *environment_.tasks, pathOf(container));
}

fp::ProgressPtr WebDAVFolderExtension::fetchContents(const fp::ItemId& identifier, std::optional<fp::ItemVersion>,
                                                     ContentsCompletion done) {
    auto progress = fp::Progress::make(100);
    auto self = shared_from_this();
    environment_.tasks->submit([self, identifier, done, progress](std::stop_token) {
        auto file = self->environment_.temporaryDirectory / ("download-" + std::to_string(++self->nextDownload_));
        try {
            self->download(pathOf(identifier), file);
        } catch (const std::exception& error) {
            return done(std::nullopt, nullptr, failure(error.what()));
        }
        progress->setCompletedUnitCount(100);
        done(file, nullptr, std::nullopt);
    });
    return progress;
}

fp::ProgressPtr WebDAVFolderExtension::fetchThumbnails(std::vector<fp::ItemId>, fp::ThumbnailSize, PerThumbnail,
                                                       Completion done) {
    environment_.tasks->submit([done](std::stop_token) { done(std::nullopt); });
    return fp::Progress::make(0);
}

fp::ProgressPtr WebDAVFolderExtension::create(fp::ItemPtr, fp::ItemFields fields, std::optional<std::filesystem::path>,
                                              WriteCompletion done) {
    environment_.tasks->submit([done, fields](std::stop_token) { done(nullptr, fields, false, failure("read-only")); });
    return fp::Progress::make(100);
}

fp::ProgressPtr WebDAVFolderExtension::modify(fp::ItemPtr, fp::ItemVersion, fp::ItemFields fields,
                                              std::optional<std::filesystem::path>, WriteCompletion done) {
    environment_.tasks->submit([done, fields](std::stop_token) { done(nullptr, fields, false, failure("read-only")); });
    return fp::Progress::make(100);
}

fp::ProgressPtr WebDAVFolderExtension::remove(const fp::ItemId&, fp::ItemVersion, Completion done) {
    environment_.tasks->submit([done](std::stop_token) { done(failure("read-only")); });
    return fp::Progress::make(1);
}

double timePropfind(const WebDAVAccess& access, const std::string& path) {
    Request request(access, access.rootURL + percentEncodePath(path) + "/");
    request.propfind();
    curl_easy_setopt(request.curl, CURLOPT_WRITEFUNCTION, discardBody);
    auto start = std::chrono::steady_clock::now();
    request.perform();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace nimbuscrate::benchmarks
