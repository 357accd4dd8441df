#pragma once

// Owning handles for the libcrypto objects of the certificate code.

#include <memory>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace pemtrox::crypto {

struct Free {
    void operator()(X509* p) const { X509_free(p); }
    void operator()(X509_NAME* p) const { X509_NAME_free(p); }
    void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(BIO* p) const { BIO_free_all(p); }
    void operator()(BIGNUM* p) const { BN_free(p); }
    /// Integers and times are both strings to the library.
    void operator()(ASN1_STRING* p) const { ASN1_STRING_free(p); }
    void operator()(PKCS12* p) const { PKCS12_free(p); }
    void operator()(GENERAL_NAMES* p) const { GENERAL_NAMES_free(p); }
    /// A stack of borrowed certificates: the stack goes, the certificates stay.
    void operator()(STACK_OF(X509) * p) const { sk_X509_free(p); }
};

using X509Ptr = std::unique_ptr<X509, Free>;
using NamePtr = std::unique_ptr<X509_NAME, Free>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, Free>;
using PKeyPtr = std::unique_ptr<EVP_PKEY, Free>;
using BioPtr = std::unique_ptr<BIO, Free>;
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

} // namespace pemtrox::crypto
