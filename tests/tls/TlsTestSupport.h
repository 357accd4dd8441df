#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "proxy/tls/KeyPool.h"
#include "proxy/tls/SSLCAGenerator.h"

namespace pemtrox::test {

inline const char* const passPhrase = "TestPhrase12";

/// Hands out references to one key made once, so tests mint without making keys.
class FixedKeys : public KeySource {
public:
    crypto::PKeyPtr takeKey() override;
};

/// A CA whose stored certificate a test can age.
struct AgedCA : SSLCAGenerator {
    using SSLCAGenerator::SSLCAGenerator;
    /// Its validity ends a minute ago (signed again).
    void expire();
};

/// One CA for the process, generated once (its files are not saved).
SSLCAGenerator& sharedCA();

crypto::X509Ptr readCertificate(const std::filesystem::path& path);
/// Writes the certificate as PEM to the file and returns its path.
std::filesystem::path writeCertificate(X509* certificate, const std::filesystem::path& path);
/// The NIDs of the certificate's extensions in order.
std::vector<int> extensionNids(X509* certificate);
/// Runs the openssl tool; its output, errors included.
std::string openssl(const std::string& arguments, int* status = nullptr);

} // namespace pemtrox::test
