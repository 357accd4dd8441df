#include "proxy/recording/RecordingPolicy.h"

#include "proxy/engine/ProxyEvent.h"
#include "proxy/engine/ReservedHosts.h"
#include "proxy/recording/RecordingStore.h"

namespace pemtrox {

void RecordingPolicy::setSettings(const RecordingSettings& settings) {
    bool hasIncludes = false;
    for (const auto& definition : settings.include)
        hasIncludes = hasIncludes || definition.enabled;
    auto config = std::make_shared<const Config>(Config{settings, hasIncludes});
    std::lock_guard lock(mutex_);
    config_ = std::move(config);
}

std::shared_ptr<const RecordingPolicy::Config> RecordingPolicy::config() const {
    std::lock_guard lock(mutex_);
    return config_;
}

bool RecordingPolicy::selects(const ProxyEvent& evt) const {
    if (evt.host && (*evt.host == SSLTestHost || *evt.host == SSLTestHostLong))
        return false;
    auto config = this->config();
    if (config->hasIncludes && !evt.matchesAny(config->settings.include))
        return false;
    return !evt.matchesAny(config->settings.exclude);
}

std::optional<std::int64_t> RecordingPolicy::bodyCap(const ProxyEvent& evt, bool request) const {
    auto config = this->config();
    if (!(request ? config->settings.recordRequestBody : config->settings.recordResponseBody))
        return std::nullopt;
    return RecordingStore::bodyCap(config->settings, evt.tunnel, request);
}

} // namespace pemtrox
