#pragma once

#include <ctime>
#include <functional>
#include <memory>

#include "proxy/tls/SSLCertificateGenerator.h"

namespace pemtrox {

/// The interception CA: a self-signed root stored in `baseURL` as "ca.pem" (encrypted key
/// and certificate) and "ca-cert.pem" (the certificate alone, for download).
class SSLCAGenerator : public SSLCertificateGenerator {
public:
    /// The CA in the app group container (fatal when there is none).
    static std::shared_ptr<SSLCAGenerator> make();
    static std::shared_ptr<SSLCAGenerator> make(std::filesystem::path baseURL);
    explicit SSLCAGenerator(std::filesystem::path baseURL);

    const std::filesystem::path& baseURL() const { return baseURL_; }
    std::filesystem::path caFile() const { return baseURL_ / "ca.pem"; }
    std::filesystem::path caCertificateFile() const { return baseURL_ / "ca-cert.pem"; }

    /// Makes a new CA (2048-bit RSA key, random serial, 364 days of validity). On failure
    /// the generator keeps what it held. Throws SSLCertificateGeneratorError or OpenSSLError.
    virtual void generate();
    /// Creates `baseURL` (mode 0700) and writes "ca.pem" then "ca-cert.pem", each whole.
    virtual void save(std::string_view passPhrase);

    /// What loadOrBuild did.
    struct LoadOutcome {
        bool built = false;
        /// The certificate of a CA that was replaced because it had expired.
        crypto::X509Ptr expired;
    };
    /// Loads the CA from its two files, checked against each other; builds and saves a new
    /// one when they are missing, unreadable, disagree or the CA has expired (logging a
    /// warning, or a line of information when neither file was there: a first start).
    /// Throws when building or saving fails.
    LoadOutcome loadOrBuild(std::string_view passPhrase);

    /// The name the common name carries; the host name unless set.
    void setDeviceName(std::string name) { deviceName_ = std::move(name); }
    /// Called between the two writes of save (tests stop the process there).
    void setBetweenWritesHook(std::function<void()> hook) { betweenWrites_ = std::move(hook); }

    /// "Pemtrox Proxy CA (<d MMM yy>, <device>)", cut to 64 characters when it has 65 bytes
    /// or more.
    static std::string commonName(std::time_t now, std::string_view deviceName);
    /// The date as "d MMM yy" in local time with English month names, whatever the locale.
    static std::string dateText(std::time_t now);

private:
    std::filesystem::path baseURL_;
    std::string deviceName_;
    std::function<void()> betweenWrites_;
};

} // namespace pemtrox
