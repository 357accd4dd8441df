#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "proxy/tls/CryptoHandles.h"

namespace pemtrox {

/// What writePEM writes.
enum class PEMContents { keyAndCertificates, keyOnly, certificatesOnly };

/// Owns one certificate with its private key and the certificates that follow it (issuer
/// first), and reads and writes them as PEM and PKCS#12. Used by one thread at a time.
class SSLCertificateGenerator {
public:
    static constexpr long DayInSeconds = 86400;

    SSLCertificateGenerator() = default;
    virtual ~SSLCertificateGenerator() = default;
    SSLCertificateGenerator(const SSLCertificateGenerator&) = delete;
    SSLCertificateGenerator& operator=(const SSLCertificateGenerator&) = delete;

    X509* certificate() const { return certificate_.get(); }
    std::vector<X509*> chain() const;
    EVP_PKEY* key() const { return key_.get(); }
    /// The key the next generation uses instead of making one.
    void setKey(crypto::PKeyPtr key) { key_ = std::move(key); }

    /// Reads an encrypted private key and the certificates after it. False when the file
    /// cannot be opened; throws failedToReadFile when it holds no key or no certificate. A
    /// failed read leaves the generator as it was.
    virtual bool readPEM(const std::filesystem::path& url, std::string_view passPhrase);
    /// Writes the key (AES-256-CBC under the pass phrase) and/or the certificates to a new
    /// file of mode 0600 that replaces the old one whole. Throws noKey or failedToWriteFile.
    virtual void writePEM(const std::filesystem::path& url, std::string_view passPhrase,
                          PEMContents contents) const;
    /// Writes key, certificate and chain as DER PKCS#12, friendly name "Pemtrox", the same
    /// way. Throws failedToCreatePKCS12 or a file error.
    virtual void writePKCS12(const std::filesystem::path& url, std::string_view passPhrase) const;
    /// The PKCS#12 bytes that writePKCS12 writes.
    std::string pkcs12(std::string_view passPhrase) const;

    /// A new RSA key with exponent 65537; null when the library fails.
    static crypto::PKeyPtr makeRSAKey(unsigned int bits);

protected:
    crypto::X509Ptr certificate_;
    std::vector<crypto::X509Ptr> chain_;
    crypto::PKeyPtr key_;
};

/// Writes the bytes to a uniquely named temporary file of mode 0600 beside the path and
/// renames it over the path, so a reader sees the old file or the new one, never a torn
/// one. `sync` flushes the file to disk before the rename. Throws a file error.
void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes, bool sync);

/// Creates the directory and its missing parents with mode 0700. Throws a file error.
void createPrivateDirectory(const std::filesystem::path& path);

} // namespace pemtrox
