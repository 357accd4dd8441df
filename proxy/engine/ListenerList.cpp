#include "proxy/engine/ListenerList.h"

#include <algorithm>

namespace pemtrox {

void ListenerList::add(const Listener& listener) {
    std::lock_guard lock(mutex_);
    if (std::find(listeners_->begin(), listeners_->end(), listener) != listeners_->end())
        return;
    auto next = std::make_shared<std::vector<Listener>>(*listeners_);
    next->push_back(listener);
    listeners_ = std::move(next);
}

void ListenerList::remove(const Listener& listener) {
    std::lock_guard lock(mutex_);
    auto it = std::find(listeners_->begin(), listeners_->end(), listener);
    if (it == listeners_->end())
        return;
    auto next = std::make_shared<std::vector<Listener>>(*listeners_);
    next->erase(next->begin() + (it - listeners_->begin()));
    listeners_ = std::move(next);
}

} // namespace pemtrox
