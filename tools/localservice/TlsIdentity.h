#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace nimbuscrate::localservice {

// A certificate authority made at start and a server certificate it signs
// for the given host names (plus localhost and 127.0.0.1). Keys are P-256.
struct TlsIdentity {
    std::string caCertificatePem;
    std::string serverCertificatePem;
    std::string serverKeyPem;

    static TlsIdentity create(const std::vector<std::string>& hostNames);
    // Writes the CA certificate as PEM (mode 0644) and returns its path.
    std::filesystem::path writeCaCertificate(const std::filesystem::path& directory) const;
};

}  // namespace nimbuscrate::localservice
