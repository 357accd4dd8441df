#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace pemtrox {

class KeyStore;

/// The identities in memory, by cache key: the least recently used goes once `capacity`
/// are held. Thread-safe.
class KeyStoreCache {
public:
    explicit KeyStoreCache(std::size_t capacity = 1000) : capacity_(capacity) {}

    std::shared_ptr<KeyStore> object(const std::string& key);
    void setObject(const std::string& key, std::shared_ptr<KeyStore> store);
    std::size_t count();

private:
    using Entry = std::pair<std::string, std::shared_ptr<KeyStore>>;
    const std::size_t capacity_;
    std::mutex mutex_;
    std::list<Entry> order_; // most recently used first
    std::unordered_map<std::string, std::list<Entry>::iterator> index_;
};

} // namespace pemtrox
