#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "proxy/engine/RecordingSettings.h"

namespace pemtrox {

class ProxyEvent;

/// Which exchanges the recording takes, and how much of their bodies: the recording settings
/// with their include check. The settings are replaced from the provider's thread while the
/// servers' queues read them; a reader sees either the old settings or the new ones, whole.
class RecordingPolicy {
public:
    explicit RecordingPolicy(const RecordingSettings& settings) { setSettings(settings); }

    /// Replaces the settings and recomputes the include check with them.
    void setSettings(const RecordingSettings& settings);
    RecordingSettings settings() const { return config()->settings; }
    /// True when at least one include location is enabled.
    bool hasIncludes() const { return config()->hasIncludes; }

    /// Whether the exchange is recorded: not one of the TLS test's own hosts, matched by an
    /// enabled include location when there is one, and by no exclude location.
    bool selects(const ProxyEvent& evt) const;
    /// The most bytes of the exchange's body in that direction that are recorded; none when
    /// the settings record no bodies of that direction.
    std::optional<std::int64_t> bodyCap(const ProxyEvent& evt, bool request) const;

private:
    struct Config {
        RecordingSettings settings;
        bool hasIncludes;
    };
    std::shared_ptr<const Config> config() const;

    /// Guards config_, which the provider replaces while the servers' queues read it.
    mutable std::mutex mutex_;
    std::shared_ptr<const Config> config_;
};

} // namespace pemtrox
