#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/core/AtomicFile.h"

namespace nimbuscrate {

// A defaults suite: a small JSON file of integer, bool and string values,
// safe across processes (every change takes the suite's file lock and
// replaces the file atomically).
class Defaults {
public:
    explicit Defaults(std::filesystem::path file);

    std::optional<std::int64_t> integer(const std::string& key) const;
    std::optional<bool> boolean(const std::string& key) const;
    std::optional<std::string> string(const std::string& key) const;

    void setInteger(const std::string& key, std::int64_t value);
    void setBoolean(const std::string& key, bool value);
    void setString(const std::string& key, const std::string& value);
    void remove(const std::string& key);

    // Read-modify-write of the whole suite under its lock (the object is
    // empty when the file is missing or unreadable). With FileSync::unsynced
    // the change does not wait for the disk: for values whose loss after a
    // power cut is harmless (see FileSync).
    void update(const std::function<void(nlohmann::json& values)>& change, FileSync sync = FileSync::durable);
    nlohmann::json snapshot() const;

    const std::filesystem::path& file() const { return file_; }

    // The program's standard suite (in its own container).
    static Defaults& standard();
    // The application group suite "group.app.nimbuscrate", shared by both programs.
    static Defaults& group();

private:
    std::filesystem::path file_;
};

inline constexpr const char* kApplicationGroup = "group.app.nimbuscrate";

}  // namespace nimbuscrate
