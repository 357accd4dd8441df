#include "platform/Identity.h"

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include "platform/OpenSslHandles.h"
#include "platform/TlsError.h"

namespace pemtrox {

using namespace openssl;

struct Identity::Impl {
    PKeyPtr key;
    X509Ptr leaf;
    std::vector<X509Ptr> chainOwned;
    std::vector<X509*> chain;
};

namespace {

[[noreturn]] void fail(const std::string& what) {
    throw TlsError(TlsError::Kind::configuration, what + ": " + takeErrorText("rejected"));
}

} // namespace

std::shared_ptr<const Identity> Identity::make(EVP_PKEY* key, X509* leaf, const std::vector<X509*>& chain) {
    if (!key || !leaf)
        throw TlsError(TlsError::Kind::configuration, "An identity needs a private key and a certificate");
    auto impl = std::make_unique<Impl>();
    impl->key = share(key);
    impl->leaf = share(leaf);
    for (X509* c : chain) {
        impl->chainOwned.push_back(share(c));
        impl->chain.push_back(c);
    }

    // The connections share one server context and take the identity each (a context per
    // identity cost more to make than minting the leaf); what they would refuse is refused here.
    ERR_clear_error();
    if (X509_check_private_key(leaf, key) != 1)
        fail("The private key does not match the certificate");
    // Handshakes on several workers share these certificates. OpenSSL fills a certificate's
    // cached extensions at its first use, while a handshake on another worker may be reading
    // them; filled here, before any handshake sees the identity, they are only read.
    X509_check_purpose(leaf, -1, 0);
    for (X509* c : chain)
        X509_check_purpose(c, -1, 0);
    return std::shared_ptr<const Identity>(new Identity(std::move(impl)));
}

std::shared_ptr<const Identity> Identity::fromPEM(std::string_view keyPEM, std::string_view certificatesPEM) {
    ERR_clear_error();
    BioPtr keyBio(BIO_new_mem_buf(keyPEM.data(), static_cast<int>(keyPEM.size())));
    PKeyPtr key(keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key)
        fail("Cannot read the private key");

    BioPtr certBio(BIO_new_mem_buf(certificatesPEM.data(), static_cast<int>(certificatesPEM.size())));
    std::vector<X509Ptr> certificates;
    while (certBio) {
        X509Ptr cert(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr));
        if (!cert)
            break;
        certificates.push_back(std::move(cert));
    }
    ERR_clear_error(); // the end of the PEM text is reported as an error
    if (certificates.empty())
        throw TlsError(TlsError::Kind::configuration, "Cannot read a certificate");
    std::vector<X509*> chain;
    for (std::size_t i = 1; i < certificates.size(); ++i)
        chain.push_back(certificates[i].get());
    return make(key.get(), certificates[0].get(), chain);
}

Identity::Identity(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Identity::~Identity() = default;

EVP_PKEY* Identity::key() const {
    return impl_->key.get();
}
X509* Identity::leaf() const {
    return impl_->leaf.get();
}
const std::vector<X509*>& Identity::chain() const {
    return impl_->chain;
}

} // namespace pemtrox
