#pragma once

// Owning handles for OpenSSL objects, for the platform's TLS layers only.

#include <memory>
#include <string>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
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
};

using SslCtxPtr = std::unique_ptr<SSL_CTX, Free>;
using SslPtr = std::unique_ptr<SSL, Free>;
using X509Ptr = std::unique_ptr<X509, Free>;
using PKeyPtr = std::unique_ptr<EVP_PKEY, Free>;
using BioPtr = std::unique_ptr<BIO, Free>;

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
