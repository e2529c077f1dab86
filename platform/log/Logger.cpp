#include "platform/log/Logger.h"

#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "platform/log/LogCapture.h"

namespace nimbuscrate {

namespace {

// The captures alive right now; every line is handed to each of them.
std::mutex& capturesMutex() {
    static std::mutex mutex;
    return mutex;
}
std::vector<LogCapture*>& captures() {
    static std::vector<LogCapture*> list;
    return list;
}

int syslogPriority(LogLevel level) {
    switch (level) {
    case LogLevel::debug: return LOG_DEBUG;
    case LogLevel::info: return LOG_INFO;
    case LogLevel::notice: return LOG_NOTICE;
    case LogLevel::error: return LOG_ERR;
    case LogLevel::fault: return LOG_CRIT;
    }
    return LOG_INFO;
}

const char* levelName(LogLevel level) {
    switch (level) {
    case LogLevel::debug: return "debug";
    case LogLevel::info: return "info";
    case LogLevel::notice: return "notice";
    case LogLevel::error: return "error";
    case LogLevel::fault: return "fault";
    }
    return "info";
}

}  // namespace

Logger::Logger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void Logger::log(LogLevel level, std::string_view message) const {
    const std::string text(message);
    syslog(syslogPriority(level), "[%s:%s] %s", subsystem_.c_str(), category_.c_str(), text.c_str());
    static const bool toTerminal = isatty(STDERR_FILENO) == 1;
    if (toTerminal && level != LogLevel::debug) {
        std::fprintf(stderr, "%s [%s:%s] %s\n", levelName(level), subsystem_.c_str(), category_.c_str(), text.c_str());
    }
    std::lock_guard lock(capturesMutex());
    for (LogCapture* capture : captures()) capture->record(LogEntry{level, subsystem_, category_, text});
}

LogCapture::LogCapture() {
    std::lock_guard lock(capturesMutex());
    captures().push_back(this);
}

LogCapture::~LogCapture() {
    std::lock_guard lock(capturesMutex());
    auto& list = captures();
    std::erase(list, this);
}

void LogCapture::record(const LogEntry& entry) {
    std::lock_guard lock(mutex_);
    entries_.push_back(entry);
}

std::vector<LogEntry> LogCapture::entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

std::vector<LogEntry> LogCapture::matching(std::string_view category, std::string_view text) const {
    std::vector<LogEntry> found;
    std::lock_guard lock(mutex_);
    for (const auto& entry : entries_) {
        if (entry.category == category && entry.message.find(text) != std::string::npos) found.push_back(entry);
    }
    return found;
}

bool LogCapture::contains(std::string_view text) const {
    std::lock_guard lock(mutex_);
    for (const auto& entry : entries_) {
        if (entry.message.find(text) != std::string::npos) return true;
    }
    return false;
}

}  // namespace nimbuscrate
