#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "proxy/engine/Settings.h"

namespace pemtrox {

/// The settings as one immutable snapshot, handed to the parts that subscribed each time a new
/// one is loaded. Nothing in a snapshot changes after its load (the locations' patterns are
/// compiled by then), so a part may keep the snapshot, or only the section it reads, and hand
/// it as it is to a server that reads it on another queue.
///
/// Belongs to one queue (the provider's main queue): publishing, subscribing and every
/// delivery happen there.
class SettingsPublisher {
public:
    using Snapshot = std::shared_ptr<const Settings>;
    using Subscriber = std::function<void(const Snapshot&)>;

    explicit SettingsPublisher(Settings settings = {});

    const Snapshot& current() const { return current_; }
    /// Makes the settings the current snapshot and hands it to each subscriber, in the order
    /// they subscribed.
    void publish(Settings settings);
    /// The subscriber is handed every later snapshot for as long as the returned token is held.
    [[nodiscard]] std::shared_ptr<void> subscribe(Subscriber subscriber);

private:
    Snapshot current_;
    std::vector<std::weak_ptr<Subscriber>> subscribers_;
};

/// One section of a snapshot, sharing the snapshot's life instead of copying it.
template <class Section>
std::shared_ptr<const Section> sectionOf(const SettingsPublisher::Snapshot& snapshot,
                                         Section Settings::*section) {
    return std::shared_ptr<const Section>(snapshot, &((*snapshot).*section));
}

} // namespace pemtrox
