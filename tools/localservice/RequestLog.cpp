#include "tools/localservice/RequestLog.h"

#include <algorithm>

#include "tools/localservice/HttpExchange.h"

namespace nimbuscrate::localservice {

void HeaderFields::add(std::string name, std::string value) {
    fields_.emplace_back(std::move(name), std::move(value));
}

std::optional<std::string> HeaderFields::find(std::string_view name) const {
    for (const auto& [fieldName, fieldValue] : fields_) {
        if (equalsIgnoringCase(fieldName, name)) return fieldValue;
    }
    return std::nullopt;
}

std::string HeaderFields::value(std::string_view name) const {
    return find(name).value_or(std::string());
}

bool HeaderFields::has(std::string_view name) const {
    return find(name).has_value();
}

std::size_t HeaderFields::count(std::string_view name) const {
    return static_cast<std::size_t>(std::count_if(fields_.begin(), fields_.end(), [&](const auto& field) {
        return equalsIgnoringCase(field.first, name);
    }));
}

std::optional<std::string> RecordedRequest::queryValue(std::string_view name) const {
    for (const auto& [key, value] : query) {
        if (key == name) return value;
    }
    return std::nullopt;
}

void RequestLog::add(RecordedRequest request) {
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(std::move(request));
    }
    changed_.notify_all();
}

void RequestLog::clear() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

std::vector<RecordedRequest> RequestLog::all() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t RequestLog::size() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

std::vector<RecordedRequest> RequestLog::matching(std::string_view method, std::string_view pathPrefix) const {
    std::lock_guard lock(mutex_);
    std::vector<RecordedRequest> result;
    for (const auto& request : requests_) {
        if (!method.empty() && !equalsIgnoringCase(request.method, method)) continue;
        if (request.path.compare(0, pathPrefix.size(), pathPrefix) != 0) continue;
        result.push_back(request);
    }
    return result;
}

bool RequestLog::waitFor(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

}  // namespace nimbuscrate::localservice
