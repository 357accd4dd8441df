#include "proxy/engine/SettingsPublisher.h"

#include <algorithm>

namespace pemtrox {

SettingsPublisher::SettingsPublisher(Settings settings)
    : current_(std::make_shared<const Settings>(std::move(settings))) {}

void SettingsPublisher::publish(Settings settings) {
    current_ = std::make_shared<const Settings>(std::move(settings));
    std::erase_if(subscribers_, [](const auto& subscriber) { return subscriber.expired(); });
    // A subscriber may subscribe or let go of a token while it is handed the snapshot.
    auto subscribers = subscribers_;
    auto snapshot = current_;
    for (const auto& weak : subscribers)
        if (auto subscriber = weak.lock())
            (*subscriber)(snapshot);
}

std::shared_ptr<void> SettingsPublisher::subscribe(Subscriber subscriber) {
    auto token = std::make_shared<Subscriber>(std::move(subscriber));
    subscribers_.push_back(token);
    return token;
}

} // namespace pemtrox
