#include "proxy/tls/MirrorCache.h"

namespace pemtrox {

/// The host (with its length, so that no host and DER can run into another's) and the DER.
std::string MirrorCache::keyFor(std::span<const std::uint8_t> der, const std::optional<std::string>& host) {
    std::string key = host ? std::to_string(host->size()) + ':' + *host : std::string("-");
    key.append(reinterpret_cast<const char*>(der.data()), der.size());
    return key;
}

std::optional<MirrorCache::Entry> MirrorCache::find(std::span<const std::uint8_t> der,
                                                    const std::optional<std::string>& host) {
    std::string key = keyFor(der, host);
    std::lock_guard lock(mutex_);
    auto found = index_.find(key);
    if (found == index_.end())
        return std::nullopt;
    order_.splice(order_.begin(), order_, found->second);
    return found->second->second;
}

void MirrorCache::remember(std::span<const std::uint8_t> der, const std::optional<std::string>& host,
                           Entry entry) {
    std::string key = keyFor(der, host);
    std::lock_guard lock(mutex_);
    if (auto found = index_.find(key); found != index_.end()) {
        found->second->second = std::move(entry);
        order_.splice(order_.begin(), order_, found->second);
        return;
    }
    order_.emplace_front(std::move(key), std::move(entry));
    // The index's views point into the list's keys, which stay put while their items live.
    index_.emplace(order_.front().first, order_.begin());
    if (order_.size() > capacity_) {
        index_.erase(order_.back().first);
        order_.pop_back();
    }
}

std::size_t MirrorCache::count() {
    std::lock_guard lock(mutex_);
    return order_.size();
}

} // namespace pemtrox
