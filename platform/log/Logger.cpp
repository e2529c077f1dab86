#include "platform/log/Logger.h"

#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
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

// Whether lines also go to standard error: always, unless it is closed, or
// it is the journal's own stream (a service whose output the journal
// takes), where syslog already puts them and they would show twice.
// JOURNAL_STREAM names that stream as "<device>:<inode>".
bool writesToStandardError() {
    struct stat attributes{};
    if (::fstat(STDERR_FILENO, &attributes) != 0) return false;
    const char* journal = std::getenv("JOURNAL_STREAM");
    if (!journal) return true;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    char rest = 0;
    if (std::sscanf(journal, "%llu:%llu%c", &device, &inode, &rest) != 2) return true;
    return attributes.st_dev != device || attributes.st_ino != inode;
}

// One line as standard error shows it: the time (UTC), the level, where
// it comes from, the message.
std::string standardErrorLine(LogLevel level, const std::string& subsystem, const std::string& category,
                              const std::string& message) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::tm utc{};
    ::gmtime_r(&now.tv_sec, &utc);
    char stamp[48];
    const std::size_t length = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(stamp + length, sizeof stamp - length, ".%03ldZ", now.tv_nsec / 1'000'000);
    return std::string(stamp) + " " + levelName(level) + " [" + subsystem + ":" + category + "] " + message + "\n";
}

// Writes the whole line with as few writes as it takes (one, as a rule),
// so that lines of several threads never interleave within a line.
void writeToStandardError(const std::string& line) {
    std::size_t written = 0;
    while (written < line.size()) {
        const ssize_t result = ::write(STDERR_FILENO, line.data() + written, line.size() - written);
        if (result < 0 && errno == EINTR) continue;
        if (result <= 0) return;
        written += static_cast<std::size_t>(result);
    }
}

}  // namespace

Logger::Logger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void Logger::log(LogLevel level, std::string_view message) const {
    const std::string text(message);
    syslog(syslogPriority(level), "[%s:%s] %s", subsystem_.c_str(), category_.c_str(), text.c_str());
    static const bool toStandardError = writesToStandardError();
    if (toStandardError) writeToStandardError(standardErrorLine(level, subsystem_, category_, text));
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
