#pragma once

#include <functional>
#include <optional>

#include <nlohmann/json.hpp>

#include "platform/fileprovider/Domain.h"
#include "platform/fileprovider/Enumerator.h"
#include "platform/fileprovider/Error.h"

namespace nimbuscrate {
class TaskPool;
}

namespace nimbuscrate::fp::host {

// The error a reply of the control channel carries, if it is a failure.
std::optional<Error> replyError(const nlohmann::json& reply);

// Pages of the materialized items through a request sender: each page is
// one "materializedPage" request. Used over the channel and in process.
// Answers run on `tasks`, or on `answers` (a pool that outlives it) once
// `tasks` is shutting down.
using PageSender = std::function<void(nlohmann::json request, std::function<void(std::optional<nlohmann::json>, std::optional<Error>)>)>;
EnumeratorPtr makeMaterializedEnumerator(Domain domain, PageSender send, TaskPool& tasks, TaskPool& answers);

}  // namespace nimbuscrate::fp::host
