#pragma once

#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>

namespace nimbuscrate::testing {

// Counts the opens and reads of the files in a folder while it lives
// (inotify), to show that code under test never touched them.
class OpenWatch {
public:
    explicit OpenWatch(const std::filesystem::path& folder) : descriptor_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        EXPECT_GE(descriptor_, 0);
        EXPECT_GE(inotify_add_watch(descriptor_, folder.c_str(), IN_OPEN | IN_ACCESS), 0);
    }
    ~OpenWatch() { ::close(descriptor_); }
    OpenWatch(const OpenWatch&) = delete;
    OpenWatch& operator=(const OpenWatch&) = delete;

    // The events that arrived so far.
    int events() {
        alignas(inotify_event) char buffer[4096];
        while (true) {
            const ssize_t count = ::read(descriptor_, buffer, sizeof buffer);
            if (count <= 0) break;
            for (ssize_t at = 0; at < count;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                ++events_;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return events_;
    }

private:
    int descriptor_;
    int events_ = 0;
};

}  // namespace nimbuscrate::testing
