#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "proxy/tls/CryptoHandles.h"
#include "proxy/tls/KeyStoreCache.h"
#include "proxy/tls/MirrorCache.h"
#include "proxy/tls/SSLV1CertificateGenerator.h"

namespace pemtrox {

class DispatchQueue;
class Identity;
class KeySource;
class KeyStore;
class SSLCAGenerator;

/// Mints the certificates presented to clients of intercepted connections, signed by the
/// interception CA: a mirror of the real server's certificate, or one for a host name. Each
/// is cached in memory and, written in the background, as a PKCS#12 file in "certs" under
/// the caches directory.
/// Thread-safe once setCA has been called.
class SSLContextFactory {
public:
    /// An input of the key-store pass phrase; changing it orphans every cache file.
    static constexpr int GeneratedSSLCertsSerial = 1;
    static constexpr SSLCertificateVersion DefaultCertificateVersion = SSLCertificateVersion::v3;

    /// With the cache in `makeCacheURL()` and keys from the process's pool.
    static std::shared_ptr<SSLContextFactory> make();
    static std::shared_ptr<SSLContextFactory> make(std::filesystem::path cacheURL,
                                                   std::shared_ptr<KeySource> keys = nullptr);
    SSLContextFactory(std::filesystem::path cacheURL, std::shared_ptr<KeySource> keys);
    /// Waits for the cache files still being written.
    virtual ~SSLContextFactory();

    /// A leaf mirroring the server's certificate (DER): its subject and validity, most of its
    /// extensions; with a host other than its common name, the host replaces the common name
    /// and the subjectAltName. Throws SSLContextFactoryError and the minting errors.
    virtual std::shared_ptr<const Identity> identityForCertificate(std::span<const std::uint8_t> der,
                                                                   const std::optional<std::string>& host);
    /// A leaf for the host name alone, valid from an hour ago for 365 days.
    virtual std::shared_ptr<const Identity> identityForHost(const std::string& host);
    /// The CA that signs from now on (references taken). Fatal when it lacks a name or serial.
    virtual void setCA(X509* certificate, EVP_PKEY* key);
    /// The cached identity for the subject when it is still good, else a new one.
    virtual std::shared_ptr<const Identity> keyStore(const X509_NAME* subject, const ASN1_TIME* notBefore,
                                                     const ASN1_TIME* notAfter, X509* upstream,
                                                     const std::optional<std::string>& newCommonName);
    /// The cache file's identity, or null when it is missing or unreadable.
    virtual std::shared_ptr<KeyStore> loadKeyStore(const std::string& key);
    /// The digest naming a subject's identity under the current CA, with ".p12" appended.
    /// Throws certificateHasNoSubject for a name that prints to nothing.
    virtual std::string cacheKey(const X509_NAME* subject, X509* upstream);

    /// The extensions of a v3 leaf: the upstream's that fit a leaf of ours, a
    /// subjectAltName for a new common name, then the authority and subject key ids.
    void addLeafExtensions(X509* leaf, X509* upstream, const std::optional<std::string>& newCommonName);

    /// "certs" under the caches directory, created with mode 0700 (fatal when impossible).
    static std::filesystem::path makeCacheURL();
    const std::filesystem::path& cacheURL() const { return cacheURL_; }
    /// The pass phrase of the cache files of the current CA.
    std::string keystorePassword();
    /// The pass phrase of the cache files of a CA.
    static std::string keystorePasswordFor(X509* ca);
    /// Deletes the cache files minted under a CA (one that was replaced); their count.
    std::size_t removeCachedLeaves(X509* ca);
    KeyStoreCache& keyStoreCache() { return keyStoreCache_; }
    /// Returns once the cache files of the leaves minted so far are written.
    void flushCache();

private:
    struct CA {
        crypto::X509Ptr certificate;
        crypto::PKeyPtr key;
        std::string keystorePassword;
        std::string serial;
        std::string issuerText;
    };
    /// An identity and its key in the cache.
    struct Found {
        std::string key;
        std::shared_ptr<KeyStore> store;
    };
    std::shared_ptr<const CA> ca();
    /// What keyStore serves, with its key.
    Found find(const X509_NAME* subject, const ASN1_TIME* notBefore, const ASN1_TIME* notAfter,
               X509* upstream, const std::optional<std::string>& newCommonName);
    std::shared_ptr<KeyStore> mint(const CA& ca, const std::string& key, const X509_NAME* subject,
                                   const ASN1_TIME* notBefore, const ASN1_TIME* notAfter, X509* upstream,
                                   const std::optional<std::string>& newCommonName);

    std::filesystem::path cacheURL_;
    std::shared_ptr<KeySource> keys_;
    /// Writes the cache files: building and writing a PKCS#12 costs more than minting the
    /// leaf, so a first visit does not wait for it.
    std::shared_ptr<DispatchQueue> writer_;
    std::mutex caMutex_;
    std::shared_ptr<const CA> ca_;
    KeyStoreCache keyStoreCache_;
    MirrorCache mirrors_;
};

/// Copies the upstream's extensions to the leaf, in order, but the key ids, policies,
/// CRL and authority-information pointers and the TLS feature (nothing staples for us); with
/// a new common name its subjectAltName takes the upstream's place. Throws
/// failedToAddExtensionToCertificate.
void copyExtension(X509* upstream, X509* leaf, const std::optional<std::string>& newCommonName);

/// Loads the CA or builds a new one and hands it to the factory; the cache files of a CA
/// replaced because it expired are deleted. Throws when the CA can be neither loaded nor built.
void installCA(SSLCAGenerator& ca, SSLContextFactory& factory, std::string_view passPhrase);

} // namespace pemtrox
