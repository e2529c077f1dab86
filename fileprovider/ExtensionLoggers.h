#pragma once

#include "platform/log/Logger.h"

namespace nimbuscrate {

// The loggers of the extension, subsystem "app.nimbuscrate.fileprovider";
// each is made once per process on first use.
const Logger& enumerationLogger();  // "enumeration"
const Logger& thumbnailsLogger();   // "thumbnails"
const Logger& evictionLogger();     // "eviction"

}  // namespace nimbuscrate
