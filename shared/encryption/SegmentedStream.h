#pragma once

#include <filesystem>
#include <optional>
#include <stop_token>

#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/FileHandle.h"

namespace nimbuscrate::segmented {

// The conversions of E2EECrypto's segmented format with an optional fixed
// 40-byte header instead of a random one, so that streams can be compared
// byte for byte with an independent writer. Production code uses
// E2EECrypto::transformFile and E2EECrypto::sealSmallPayload.
void transformFile(const std::filesystem::path& source, const std::filesystem::path& destination,
                   const E2EECrypto::File& file, bool encrypt, const std::optional<Bytes>& fixedHeader,
                   std::stop_token stop);

Bytes sealSmallPayload(ByteView plaintext, const E2EECrypto::File& file, const std::optional<Bytes>& fixedHeader);

// Closes the output handle (ignoring a close error) and, unless finished,
// removes the destination (ignoring a removal error).
void discardPartialOutput(FileHandle& output, bool finished, const std::filesystem::path& destination) noexcept;

}  // namespace nimbuscrate::segmented
