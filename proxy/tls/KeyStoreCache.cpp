#include "proxy/tls/KeyStoreCache.h"

namespace pemtrox {

std::shared_ptr<KeyStore> KeyStoreCache::object(const std::string& key) {
    std::lock_guard lock(mutex_);
    auto found = index_.find(key);
    if (found == index_.end())
        return nullptr;
    order_.splice(order_.begin(), order_, found->second);
    return found->second->second;
}

void KeyStoreCache::setObject(const std::string& key, std::shared_ptr<KeyStore> store) {
    std::lock_guard lock(mutex_);
    if (auto found = index_.find(key); found != index_.end()) {
        found->second->second = std::move(store);
        order_.splice(order_.begin(), order_, found->second);
        return;
    }
    order_.emplace_front(key, std::move(store));
    index_[key] = order_.begin();
    if (order_.size() > capacity_) {
        index_.erase(order_.back().first);
        order_.pop_back();
    }
}

std::size_t KeyStoreCache::count() {
    std::lock_guard lock(mutex_);
    return order_.size();
}

} // namespace pemtrox
