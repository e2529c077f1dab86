#pragma once

#include "tests/support/E2EERecordBuilder.h"

namespace nimbuscrate::testing {

// The snapshot tests' name for the record builder.
using LibraryBuilder = E2EERecordBuilder;

}  // namespace nimbuscrate::testing
