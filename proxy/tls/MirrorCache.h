#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>

namespace pemtrox {

class KeyStore;

/// The identities served for upstream certificates, by the certificate's DER bytes and the
/// host asked with. A repeat visit to a server finds its identity here without parsing the
/// certificate again: with OpenSSL 3, decoding its public key costs more than the rest of the
/// lookup. An entry only points the way; its owner checks that the identity is still the one
/// its cache serves. The least recently used goes once `capacity` are held. Thread-safe.
class MirrorCache {
public:
    struct Entry {
        /// The signer the identity was minted under: an entry of another is stale.
        std::shared_ptr<const void> ca;
        /// The identity's key in the owner's cache.
        std::string key;
        std::weak_ptr<KeyStore> store;
    };

    explicit MirrorCache(std::size_t capacity = 256) : capacity_(capacity) {}

    std::optional<Entry> find(std::span<const std::uint8_t> der, const std::optional<std::string>& host);
    void remember(std::span<const std::uint8_t> der, const std::optional<std::string>& host, Entry entry);
    std::size_t count();

private:
    static std::string keyFor(std::span<const std::uint8_t> der, const std::optional<std::string>& host);
    using Item = std::pair<std::string, Entry>;
    const std::size_t capacity_;
    std::mutex mutex_;
    std::list<Item> order_; // most recently used first
    std::unordered_map<std::string_view, std::list<Item>::iterator> index_;
};

} // namespace pemtrox
