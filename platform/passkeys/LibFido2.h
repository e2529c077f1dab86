#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/passkeys/FidoDevice.h"

namespace nimbuscrate {

// The system's libfido2: security keys over USB HID.
class LibFido2 final : public FidoLibrary {
public:
    // Initialises the library once per process.
    LibFido2();

    std::vector<std::string> devicePaths() override;
    std::unique_ptr<FidoDevice> open(const std::string& path) override;

    // Builds the library's request objects from the seam's parameters;
    // nullptr (and the status in *status) when a setter refuses. The caller
    // frees them with fido_cred_free / fido_assert_free.
    static fido_cred_t* makeCredentialRequest(const FidoCredentialParameters& parameters, int* status);
    static fido_assert_t* makeAssertionRequest(const FidoAssertionParameters& parameters, int* status);
};

}  // namespace nimbuscrate
