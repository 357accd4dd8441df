#pragma once

#include <memory>
#include <string_view>
#include <vector>

struct evp_pkey_st;
struct x509_st;

namespace pemtrox {

/// What the server side of TLS presents: a private key, its certificate and the
/// intermediate certificates sent along with it. Immutable; safe to share between queues.
class Identity {
public:
    /// Takes its own references to the key and certificates. Throws TlsError when OpenSSL
    /// refuses them (for example a key that does not belong to the leaf).
    static std::shared_ptr<const Identity> make(evp_pkey_st* key, x509_st* leaf,
                                                const std::vector<x509_st*>& chain);
    /// From PEM text: a private key, and the leaf certificate followed by its chain.
    static std::shared_ptr<const Identity> fromPEM(std::string_view keyPEM, std::string_view certificatesPEM);

    ~Identity();
    Identity(const Identity&) = delete;
    Identity& operator=(const Identity&) = delete;

    evp_pkey_st* key() const;
    x509_st* leaf() const;
    const std::vector<x509_st*>& chain() const;

private:
    struct Impl;
    explicit Identity(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

} // namespace pemtrox
