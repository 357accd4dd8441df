#include "proxy/tls/SSLV1CertificateGenerator.h"

#include <openssl/err.h>

#include "proxy/tls/OpenSSL.h"
#include "proxy/tls/SSLCertificateGeneratorError.h"

namespace pemtrox {

using namespace crypto;

SSLV1CertificateGenerator::SSLV1CertificateGenerator(X509* issuer, const ASN1_TIME* notBefore,
                                                     const ASN1_TIME* notAfter, const X509_NAME* subject)
    : issuer_(share(issuer)), notBefore_(ASN1_STRING_dup(notBefore)), notAfter_(ASN1_STRING_dup(notAfter)),
      subject_(X509_NAME_dup(subject)) {}

void SSLV1CertificateGenerator::generate(EVP_PKEY* caKey) {
    build(caKey, 0, nullptr);
}

void SSLV3CertificateGenerator::generate(EVP_PKEY* caKey, const Extensions& extensions) {
    build(caKey, 2, extensions);
}

void SSLV1CertificateGenerator::build(EVP_PKEY* caKey, long version, const Extensions& extensions) {
    ERR_clear_error();
    PKeyPtr key = key_ ? share(key_.get()) : makeRSAKey(2048);
    if (!key)
        throw SSLCertificateGeneratorError::failedToCreateKeys(OpenSSL::lastErrorText());
    X509Ptr certificate(X509_new());
    if (!certificate)
        throw SSLCertificateGeneratorError::failedToCreateCertificate();
    X509* leaf = certificate.get();
    if (!notBefore_ || !notAfter_ || !subject_ || X509_set_version(leaf, version) != 1 ||
        !OpenSSL::setRandomSerial(leaf) || X509_set1_notBefore(leaf, notBefore_.get()) != 1 ||
        X509_set1_notAfter(leaf, notAfter_.get()) != 1 || X509_set_pubkey(leaf, key.get()) != 1 ||
        X509_set_issuer_name(leaf, X509_get_subject_name(issuer_.get())) != 1 ||
        X509_set_subject_name(leaf, subject_.get()) != 1)
        throw SSLCertificateGeneratorError::failedToCreateCertificate(OpenSSL::lastErrorText());
    if (extensions)
        extensions(leaf);
    ERR_clear_error();
    if (X509_sign(leaf, caKey, EVP_sha256()) <= 0)
        throw SSLCertificateGeneratorError::failedToCreateCertificate(OpenSSL::lastErrorText());
    certificate_ = std::move(certificate);
    key_ = std::move(key);
    chain_.clear();
    chain_.push_back(share(issuer_.get()));
}

} // namespace pemtrox
