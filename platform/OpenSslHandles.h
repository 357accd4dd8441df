#pragma once

// Owning handles for OpenSSL objects: the platform's TLS layers and the certificate code
// share them, so that a key or certificate passes between the two as it is.

#include <memory>
#include <string>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace pemtrox::openssl {

struct Free {
    void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
    void operator()(SSL* p) const { SSL_free(p); }
    void operator()(X509* p) const { X509_free(p); }
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(BIO* p) const { BIO_free_all(p); }
    void operator()(X509_NAME* p) const { X509_NAME_free(p); }
    void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
    void operator()(BIGNUM* p) const { BN_free(p); }
    /// Integers and times are both strings to the library.
    void operator()(ASN1_STRING* p) const { ASN1_STRING_free(p); }
    void operator()(PKCS12* p) const { PKCS12_free(p); }
    void operator()(GENERAL_NAMES* p) const { GENERAL_NAMES_free(p); }
    /// A stack of borrowed certificates: the stack goes, the certificates stay.
    void operator()(STACK_OF(X509) * p) const { sk_X509_free(p); }
};

using SslCtxPtr = std::unique_ptr<SSL_CTX, Free>;
using SslPtr = std::unique_ptr<SSL, Free>;
using X509Ptr = std::unique_ptr<X509, Free>;
using PKeyPtr = std::unique_ptr<EVP_PKEY, Free>;
using BioPtr = std::unique_ptr<BIO, Free>;
using NamePtr = std::unique_ptr<X509_NAME, Free>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, Free>;
using BignumPtr = std::unique_ptr<BIGNUM, Free>;
using IntegerPtr = std::unique_ptr<ASN1_INTEGER, Free>;
using TimePtr = std::unique_ptr<ASN1_TIME, Free>;
using PKCS12Ptr = std::unique_ptr<PKCS12, Free>;
using GeneralNamesPtr = std::unique_ptr<GENERAL_NAMES, Free>;
using CertificateStackPtr = std::unique_ptr<STACK_OF(X509), Free>;

/// A new reference to an object the caller keeps.
inline X509Ptr share(X509* x) {
    X509_up_ref(x);
    return X509Ptr(x);
}
inline PKeyPtr share(EVP_PKEY* k) {
    EVP_PKEY_up_ref(k);
    return PKeyPtr(k);
}

/// The oldest queued OpenSSL error as text (and the queue emptied), or the fallback.
inline std::string takeErrorText(const std::string& fallback) {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return fallback;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

} // namespace pemtrox::openssl
