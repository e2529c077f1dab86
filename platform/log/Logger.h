#pragma once

#include <string>
#include <string_view>

namespace nimbuscrate {

enum class LogLevel { debug, info, notice, error, fault };

// A logger for one subsystem ("app.nimbuscrate.fileprovider") and category
// ("enumeration", "eviction", "network", ...). Lines go to the system log
// (syslog), to stderr unless stderr is the journal's stream (which syslog
// reaches already), and to every live LogCapture.
// Identifiers and error texts are logged as they are (public values).
class Logger {
public:
    Logger(std::string subsystem, std::string category);

    void log(LogLevel level, std::string_view message) const;
    void debug(std::string_view message) const { log(LogLevel::debug, message); }
    void info(std::string_view message) const { log(LogLevel::info, message); }
    void notice(std::string_view message) const { log(LogLevel::notice, message); }
    void error(std::string_view message) const { log(LogLevel::error, message); }
    void fault(std::string_view message) const { log(LogLevel::fault, message); }

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

private:
    std::string subsystem_;
    std::string category_;
};

}  // namespace nimbuscrate
