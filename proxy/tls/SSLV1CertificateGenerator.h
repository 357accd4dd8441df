#pragma once

#include <functional>

#include "proxy/tls/SSLCertificateGenerator.h"

namespace pemtrox {

/// The X.509 version of a minted leaf.
enum class SSLCertificateVersion { v1, v3 };

/// Mints an X.509 v1 leaf signed by the CA: the given subject and validity, a random
/// serial, a fresh key unless one was set.
class SSLV1CertificateGenerator : public SSLCertificateGenerator {
public:
    /// Copies the times and the subject; keeps a reference to the issuer.
    SSLV1CertificateGenerator(X509* issuer, const ASN1_TIME* notBefore, const ASN1_TIME* notAfter,
                              const X509_NAME* subject);

    /// Throws failedToCreateKeys or failedToCreateCertificate; nothing is kept on failure.
    virtual void generate(EVP_PKEY* caKey);

protected:
    using Extensions = std::function<void(X509*)>;
    void build(EVP_PKEY* caKey, long version, const Extensions& extensions);

private:
    crypto::X509Ptr issuer_;
    crypto::TimePtr notBefore_, notAfter_;
    crypto::NamePtr subject_;
};

/// The same as an X.509 v3 leaf, with the extensions a callback adds before signing.
class SSLV3CertificateGenerator : public SSLV1CertificateGenerator {
public:
    using SSLV1CertificateGenerator::SSLV1CertificateGenerator;
    void generate(EVP_PKEY* caKey) override { generate(caKey, nullptr); }
    /// The callback's error ends the generation.
    virtual void generate(EVP_PKEY* caKey, const Extensions& extensions);
};

} // namespace pemtrox
