#pragma once

// Headless Chromium as the user's browser, for the sign-in test in a real
// browser. It runs with a private profile and environment, reaches the
// identity host at the local service's loopback address, and is driven over
// the DevTools protocol on a pipe (--remote-debugging-pipe: Chromium reads
// NUL-terminated JSON messages on fd 3 and writes its own on fd 4).

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <iterator>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/websession/UrlOpener.h"
#include "tests/support/Eventually.h"

namespace nimbuscrate::testing {

// The Chromium program of Debian's package, if installed.
inline std::optional<std::filesystem::path> chromiumProgram() {
    for (const char* candidate : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
        if (::access(candidate, X_OK) == 0) return std::filesystem::path(candidate);
    }
    return std::nullopt;
}

class ChromiumBrowser final : public UrlOpener {
public:
    struct Options {
        std::filesystem::path program;
        std::filesystem::path profile;  // a fresh folder
        std::string serviceAddress;     // "127.0.0.1:<port>"
        std::string identityHost;
        // The complete environment of the browser ("NAME=value").
        std::vector<std::string> environment;
    };

    explicit ChromiumBrowser(Options options) : options_(std::move(options)) {}

    ~ChromiumBrowser() override { stop(); }

    // Starts Chromium on the URL.
    bool open(const std::string& url, Failure) override {
        if (pid_ > 0) return false;
        writeProfile();
        int toBrowser[2], fromBrowser[2];
        if (::pipe2(toBrowser, O_CLOEXEC) != 0 || ::pipe2(fromBrowser, O_CLOEXEC) != 0) return false;
        std::vector<std::string> words{options_.program.string(),
                                       "--headless",
                                       "--disable-gpu",
                                       "--no-first-run",
                                       "--no-default-browser-check",
                                       "--disable-background-networking",
                                       "--disable-component-update",
                                       "--disable-sync",
                                       "--password-store=basic",
                                       "--user-data-dir=" + options_.profile.string(),
                                       "--remote-debugging-pipe",
                                       // Only the identity host, at the local service; nothing else resolves.
                                       "--host-resolver-rules=MAP " + options_.identityHost + " " +
                                           options_.serviceAddress + ", MAP * ~NOTFOUND",
                                       // The local service's certificate comes from a CA made at its start.
                                       "--ignore-certificate-errors",
                                       url};
        if (::geteuid() == 0) words.insert(words.begin() + 1, "--no-sandbox");
        std::vector<char*> argv;
        for (auto& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (auto& variable : options_.environment) envp.push_back(variable.data());
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toBrowser[0], 3);
        posix_spawn_file_actions_adddup2(&actions, fromBrowser[1], 4);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        const std::string log = (options_.profile / "chromium.log").string();
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        // Its own process group, so that the browser's helpers go with it.
        posix_spawnattr_setpgroup(&attributes, 0);
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &all);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        const int result = ::posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        ::close(toBrowser[0]);
        ::close(fromBrowser[1]);
        if (result != 0) {
            pid_ = 0;
            ::close(toBrowser[1]);
            ::close(fromBrowser[0]);
            return false;
        }
        writeFd_ = toBrowser[1];
        readFd_ = fromBrowser[0];
        reader_ = std::thread([this] { read(); });
        opened_.push_back(url);
        return true;
    }

    const std::vector<std::string>& opened() const { return opened_; }

    // Waits (bounded) for the page to show the element, then clicks it as
    // the user would. False when it never shows.
    bool click(const std::string& elementId, std::chrono::milliseconds timeout) {
        const std::string session = attachToPage(timeout);
        if (session.empty()) return false;
        const std::string element = "document.getElementById('" + elementId + "')";
        const bool shown = eventually(
            [&] {
                const auto reply = call("Runtime.evaluate",
                                        {{"expression", "document.readyState === 'complete' && !!" + element},
                                         {"returnByValue", true}},
                                        session);
                if (!reply) return false;
                const auto value = reply->value("/result/result/value"_json_pointer, nlohmann::json());
                return value.is_boolean() && value.get<bool>();
            },
            timeout);
        if (!shown) return false;
        return call("Runtime.evaluate", {{"expression", element + ".click()"}, {"userGesture", true}}, session)
            .has_value();
    }

    std::string log() const {
        std::ifstream in(options_.profile / "chromium.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    // The browser's own record of "always allow": the identity host's pages
    // may open app.nimbuscrate links in their application without asking.
    void writeProfile() {
        std::filesystem::create_directories(options_.profile / "Default");
        nlohmann::json preferences = {
            {"protocol_handler",
             {{"allowed_origin_protocol_pairs", {{"https://" + options_.identityHost, {{"app.nimbuscrate", true}}}}}}}};
        std::ofstream(options_.profile / "Default" / "Preferences") << preferences.dump();
    }

    std::string attachToPage(std::chrono::milliseconds timeout) {
        std::string targetId;
        eventually(
            [&] {
                const auto targets = call("Target.getTargets", nlohmann::json::object());
                if (!targets) return false;
                for (const auto& target : targets->value("/result/targetInfos"_json_pointer, nlohmann::json::array())) {
                    if (target.value("type", "") == "page") {
                        targetId = target.value("targetId", "");
                        return true;
                    }
                }
                return false;
            },
            timeout);
        if (targetId.empty()) return "";
        const auto attached = call("Target.attachToTarget", {{"targetId", targetId}, {"flatten", true}});
        return attached ? attached->value("/result/sessionId"_json_pointer, std::string()) : "";
    }

    // One DevTools command; its reply, or nothing on an error or after 10 s.
    std::optional<nlohmann::json> call(const std::string& method, const nlohmann::json& params,
                                       const std::string& session = "") {
        std::unique_lock lock(mutex_);
        const int id = nextId_++;
        nlohmann::json message = {{"id", id}, {"method", method}, {"params", params}};
        if (!session.empty()) message["sessionId"] = session;
        std::string text = message.dump();
        text.push_back('\0');
        lock.unlock();
        for (std::size_t sent = 0; sent < text.size();) {
            const ssize_t n = ::write(writeFd_, text.data() + sent, text.size() - sent);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return std::nullopt;
            sent += static_cast<std::size_t>(n);
        }
        lock.lock();
        if (!changed_.wait_for(lock, std::chrono::seconds(10), [&] { return replies_.count(id) || closed_; })) {
            return std::nullopt;
        }
        auto found = replies_.find(id);
        if (found == replies_.end()) return std::nullopt;
        nlohmann::json reply = std::move(found->second);
        replies_.erase(found);
        if (reply.contains("error")) return std::nullopt;
        return reply;
    }

    void read() {
        std::string pending;
        char buffer[65536];
        for (;;) {
            const ssize_t got = ::read(readFd_, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            pending.append(buffer, static_cast<std::size_t>(got));
            for (auto end = pending.find('\0'); end != std::string::npos; end = pending.find('\0')) {
                auto message = nlohmann::json::parse(pending.substr(0, end), nullptr, false);
                pending.erase(0, end + 1);
                // Events are not needed; replies carry the command's id.
                if (!message.is_object() || !message.contains("id") || !message["id"].is_number_integer()) continue;
                const int id = message["id"].get<int>();
                std::lock_guard lock(mutex_);
                replies_[id] = std::move(message);
                changed_.notify_all();
            }
        }
        std::lock_guard lock(mutex_);
        closed_ = true;
        changed_.notify_all();
    }

    void stop() {
        if (pid_ <= 0) return;
        call("Browser.close", nlohmann::json::object());
        ::close(writeFd_);
        int status = 0;
        if (!eventually([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, std::chrono::seconds(15))) {
            ::kill(-pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
        // Helpers still in the browser's group are ended with it.
        ::kill(-pid_, SIGKILL);
        reader_.join();
        ::close(readFd_);
        pid_ = 0;
    }

    Options options_;
    pid_t pid_ = 0;
    int writeFd_ = -1;
    int readFd_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<int, nlohmann::json> replies_;
    int nextId_ = 1;
    bool closed_ = false;
    std::vector<std::string> opened_;
};

}  // namespace nimbuscrate::testing
