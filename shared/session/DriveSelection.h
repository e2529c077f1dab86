#pragma once

#include <string>

#include "platform/core/Url.h"

namespace nimbuscrate {

// The drive (space) the File Provider domain shows.
struct DriveSelection {
    std::string id;
    std::string name;
    Url webDAVURL;  // absolute WebDAV root of the drive

    bool operator==(const DriveSelection&) const = default;
};

}  // namespace nimbuscrate
