#include "tools/localservice/TlsIdentity.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <fstream>
#include <memory>
#include <stdexcept>

namespace nimbuscrate::localservice {

namespace {

struct Freer {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    void operator()(X509* certificate) const { X509_free(certificate); }
    void operator()(BIO* bio) const { BIO_free(bio); }
    void operator()(X509_EXTENSION* extension) const { X509_EXTENSION_free(extension); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Freer>;
using CertPtr = std::unique_ptr<X509, Freer>;
using BioPtr = std::unique_ptr<BIO, Freer>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, Freer>;

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("TLS identity: ") + what + " failed");
}

KeyPtr makeKey() {
    KeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    check(key != nullptr, "key generation");
    return key;
}

void addExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    ExtPtr extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
    check(extension != nullptr, "certificate extension");
    check(X509_add_ext(certificate, extension.get(), -1) == 1, "adding an extension");
}

CertPtr makeCertificate(EVP_PKEY* key, const std::string& commonName) {
    CertPtr certificate(X509_new());
    check(certificate != nullptr, "certificate allocation");
    check(X509_set_version(certificate.get(), 2) == 1, "certificate version");
    unsigned char serial[16];
    check(RAND_bytes(serial, sizeof serial) == 1, "serial number");
    serial[0] &= 0x7f;
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    check(number != nullptr, "serial number");
    ASN1_INTEGER* asn1Serial = BN_to_ASN1_INTEGER(number, nullptr);
    BN_free(number);
    check(asn1Serial != nullptr, "serial number");
    X509_set_serialNumber(certificate.get(), asn1Serial);
    ASN1_INTEGER_free(asn1Serial);
    // Valid from a day ago (clock skew) for ten days.
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -24L * 3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 10L * 24 * 3600);
    check(X509_set_pubkey(certificate.get(), key) == 1, "public key");
    X509_NAME* name = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Nimbuscrate local service"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
    return certificate;
}

std::string toPem(X509* certificate) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    check(bio && PEM_write_bio_X509(bio.get(), certificate) == 1, "writing a certificate");
    char* data = nullptr;
    long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

std::string toPem(EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    check(bio && PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1, "writing a key");
    char* data = nullptr;
    long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

}  // namespace

TlsIdentity TlsIdentity::create(const std::vector<std::string>& hostNames) {
    KeyPtr caKey = makeKey();
    CertPtr ca = makeCertificate(caKey.get(), "Nimbuscrate local service CA");
    check(X509_set_issuer_name(ca.get(), X509_get_subject_name(ca.get())) == 1, "CA issuer");
    addExtension(ca.get(), ca.get(), NID_basic_constraints, "critical,CA:TRUE,pathlen:0");
    addExtension(ca.get(), ca.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    addExtension(ca.get(), ca.get(), NID_subject_key_identifier, "hash");
    check(X509_sign(ca.get(), caKey.get(), EVP_sha256()) > 0, "CA signature");

    KeyPtr serverKey = makeKey();
    CertPtr server = makeCertificate(serverKey.get(), hostNames.empty() ? "localhost" : hostNames.front());
    check(X509_set_issuer_name(server.get(), X509_get_subject_name(ca.get())) == 1, "server issuer");
    std::string names;
    for (const auto& host : hostNames) names += "DNS:" + host + ",";
    names += "DNS:localhost,IP:127.0.0.1";
    addExtension(server.get(), ca.get(), NID_subject_alt_name, names);
    addExtension(server.get(), ca.get(), NID_basic_constraints, "critical,CA:FALSE");
    addExtension(server.get(), ca.get(), NID_key_usage, "critical,digitalSignature");
    addExtension(server.get(), ca.get(), NID_ext_key_usage, "serverAuth");
    addExtension(server.get(), ca.get(), NID_authority_key_identifier, "keyid:always");
    check(X509_sign(server.get(), caKey.get(), EVP_sha256()) > 0, "server signature");

    return TlsIdentity{toPem(ca.get()), toPem(server.get()), toPem(serverKey.get())};
}

std::filesystem::path TlsIdentity::writeCaCertificate(const std::filesystem::path& directory) const {
    std::filesystem::create_directories(directory);
    auto path = directory / "ca.pem";
    auto temporary = directory / "ca.pem.tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << caCertificatePem;
        if (!out.flush()) throw std::runtime_error("cannot write " + temporary.string());
    }
    std::filesystem::rename(temporary, path);
    return path;
}

}  // namespace nimbuscrate::localservice
