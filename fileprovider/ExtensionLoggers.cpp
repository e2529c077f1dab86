#include "fileprovider/ExtensionLoggers.h"

namespace nimbuscrate {
namespace {
constexpr const char* kSubsystem = "app.nimbuscrate.fileprovider";
}

const Logger& enumerationLogger() {
    static const Logger logger(kSubsystem, "enumeration");
    return logger;
}

const Logger& thumbnailsLogger() {
    static const Logger logger(kSubsystem, "thumbnails");
    return logger;
}

const Logger& evictionLogger() {
    static const Logger logger(kSubsystem, "eviction");
    return logger;
}

}  // namespace nimbuscrate
