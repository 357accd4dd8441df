#pragma once

#include <filesystem>
#include <memory>
#include <string_view>
#include <vector>

struct x509_st;

namespace pemtrox {

class Identity;

/// A minted identity as the TLS engine takes it: the leaf's key and certificate, with the
/// CA as its chain.
class KeyStore {
public:
    KeyStore() = default;
    explicit KeyStore(std::shared_ptr<const Identity> identity) : identity(std::move(identity)) {}

    /// Reads a PKCS#12 file. False when there is no file or it holds no identity; throws
    /// failedToReadFile when it cannot be read with the pass phrase (damaged, other phrase).
    bool load(const std::filesystem::path& url, std::string_view passPhrase);
    /// The certificates that follow the leaf (the CA).
    const std::vector<x509_st*>& chain() const;

    std::shared_ptr<const Identity> identity;
};

} // namespace pemtrox
