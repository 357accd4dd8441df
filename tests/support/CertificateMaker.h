#pragma once

#include <filesystem>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "platform/OpenSslHandles.h"

namespace pemtrox::test {

/// What one test certificate holds; the defaults make a sound server leaf.
struct CertificateSpec {
    std::string commonName;
    /// subjectAltName entries, "DNS:name" or "IP:address"; a DNS name may hold a NUL byte.
    /// None: the certificate has no subjectAltName at all.
    std::vector<std::string> altNames;
    /// Validity, in days from now.
    int notBeforeDays = -1, notAfterDays = 30;
    bool authority = false;
    /// Further extensions as (NID, configuration text), e.g. {NID_ext_key_usage, "clientAuth"}.
    std::vector<std::pair<int, std::string>> extensions;
    const EVP_MD* (*digest)() = EVP_sha256;
};

/// Certificates made in memory with the library rather than the openssl tool, so that a
/// chain can carry defects the tool will not write (a NUL inside a name, dates in the past).
/// Failures throw std::runtime_error.
class CertificateMaker {
public:
    static openssl::PKeyPtr ecKey();
    static openssl::PKeyPtr rsaKey(unsigned bits);
    /// Signed by the issuer's key, or self-signed when there is no issuer.
    static openssl::X509Ptr make(const CertificateSpec& spec, EVP_PKEY* key, X509* issuer = nullptr,
                                 EVP_PKEY* issuerKey = nullptr);
    static void writeKey(const std::filesystem::path& file, EVP_PKEY* key);
    /// The certificates as PEM blocks, in the order given.
    static void writeChain(const std::filesystem::path& file, std::initializer_list<X509*> certificates);
};

} // namespace pemtrox::test
