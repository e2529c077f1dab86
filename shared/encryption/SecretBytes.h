#pragma once

// Key material and plaintext buffers are the platform layer's cleansed bytes.
#include "platform/core/SecretBytes.h"
