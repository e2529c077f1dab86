#include "platform/defaults/Defaults.h"

#include "platform/core/AtomicFile.h"
#include "platform/core/DataPaths.h"

namespace nimbuscrate {

namespace {

nlohmann::json readValues(const std::filesystem::path& file) {
    try {
        auto bytes = readFileNoFollow(file);
        if (!bytes) return nlohmann::json::object();
        auto values = nlohmann::json::parse(bytes->begin(), bytes->end());
        return values.is_object() ? values : nlohmann::json::object();
    } catch (const std::exception&) {
        // A damaged suite reads as empty, as the platform's defaults do.
        return nlohmann::json::object();
    }
}

std::filesystem::path lockFileOf(const std::filesystem::path& file) {
    return file.parent_path() / ("." + file.filename().string() + ".lock");
}

}  // namespace

Defaults::Defaults(std::filesystem::path file) : file_(std::move(file)) {}

nlohmann::json Defaults::snapshot() const { return readValues(file_); }

std::optional<std::int64_t> Defaults::integer(const std::string& key) const {
    const auto values = snapshot();
    auto it = values.find(key);
    if (it == values.end() || !it->is_number_integer()) return std::nullopt;
    return it->get<std::int64_t>();
}

std::optional<bool> Defaults::boolean(const std::string& key) const {
    const auto values = snapshot();
    auto it = values.find(key);
    if (it == values.end() || !it->is_boolean()) return std::nullopt;
    return it->get<bool>();
}

std::optional<std::string> Defaults::string(const std::string& key) const {
    const auto values = snapshot();
    auto it = values.find(key);
    if (it == values.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

void Defaults::update(const std::function<void(nlohmann::json& values)>& change, FileSync sync) {
    createPrivateDirectories(file_.parent_path());
    FileLock lock(lockFileOf(file_));
    nlohmann::json values = readValues(file_);
    change(values);
    const std::string text = values.dump();
    writeFileAtomically(file_, Bytes(text.begin(), text.end()), 0600, sync);
}

void Defaults::setInteger(const std::string& key, std::int64_t value) {
    update([&](nlohmann::json& values) { values[key] = value; });
}

void Defaults::setBoolean(const std::string& key, bool value) {
    update([&](nlohmann::json& values) { values[key] = value; });
}

void Defaults::setString(const std::string& key, const std::string& value) {
    update([&](nlohmann::json& values) { values[key] = value; });
}

void Defaults::remove(const std::string& key) {
    update([&](nlohmann::json& values) { values.erase(key); });
}

Defaults& Defaults::standard() {
    static Defaults suite(containerDirectory() / "standard-defaults.json");
    return suite;
}

Defaults& Defaults::group() {
    static Defaults suite(sharedDataDirectory() / (std::string(kApplicationGroup) + ".json"));
    return suite;
}

}  // namespace nimbuscrate
