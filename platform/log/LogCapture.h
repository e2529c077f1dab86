#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/log/Logger.h"

namespace nimbuscrate {

struct LogEntry {
    LogLevel level;
    std::string subsystem;
    std::string category;
    std::string message;
};

// Records every line logged in this process while it is alive (for tests).
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogEntry> entries() const;
    // Entries of one category whose message contains the text.
    std::vector<LogEntry> matching(std::string_view category, std::string_view text) const;
    bool contains(std::string_view text) const;

    void record(const LogEntry& entry);

private:
    mutable std::mutex mutex_;
    std::vector<LogEntry> entries_;
};

}  // namespace nimbuscrate
