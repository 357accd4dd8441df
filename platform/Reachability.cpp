#include "platform/Reachability.h"

#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <tuple>

#include <asio/posix/stream_descriptor.hpp>

#include "platform/DispatchQueue.h"
#include "platform/Log.h"
#include "platform/Rtnetlink.h"

namespace pemtrox {

std::string reachabilityFlagsText(ReachabilityFlags flags) {
    using namespace reachabilityFlag;
    static const std::pair<ReachabilityFlags, const char*> names[] = {
        {connectionOnTraffic, "Connection automatic"},
        {connectionOnDemand, "Connection on demand"},
        {connectionOnTraffic, "Connection on traffic"},
        {connectionRequired, "Connection required"},
        {interventionRequired, "Intervention required"},
        {isDirect, "Is direct"},
        {isLocalAddress, "Is local address"},
        {isWWAN, "WWAN"},
        {reachable, "Reachable"},
        {transientConnection, "Transient connection"}};
    std::string text;
    for (const auto& [flag, name] : names)
        if (flags & flag)
            text += (text.empty() ? "" : ", ") + std::string(name);
    return text;
}

std::string ReachabilityError::description() const {
    switch (which) {
    case createFailed:
        return "Failed to create network reachability";
    case startFailed:
        return "Failed to start network reachability monitor";
    case stopFailed:
        return "Failed to stop network reachability monitor";
    case getFlagsFailed:
        return "Failed to get network reachability flags";
    }
    return "";
}

/// The group socket and the event loop's handle on it; both belong to the queue.
struct Reachability::Watch {
    Watch(asio::io_context& io, std::unique_ptr<Rtnetlink> socket)
        : socket(std::move(socket)), descriptor(io, this->socket->fd()) {}
    ~Watch() { descriptor.release(); } // the socket closes its own descriptor
    std::unique_ptr<Rtnetlink> socket;
    asio::posix::stream_descriptor descriptor;
};

std::shared_ptr<Reachability> Reachability::make(std::chrono::milliseconds debounce) {
    std::shared_ptr<Reachability> monitor(new Reachability());
    monitor->debounce_ = debounce;
    try {
        auto events = std::make_unique<Rtnetlink>(RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR |
                                                  RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE);
        monitor->requests_ = std::make_unique<Rtnetlink>();
        monitor->queue_ = DispatchQueue::make("Reachability");
        monitor->queue_->sync([&] {
            monitor->watch_ = std::make_unique<Watch>(monitor->queue_->ioContext(), std::move(events));
        });
    } catch (const Error& error) {
        LOG_ERROR("Network monitor: {}", error.description());
        throw ReachabilityError(ReachabilityError::createFailed);
    }
    return monitor;
}

Reachability::~Reachability() {
    queue_->onQueue([&] {
        if (timer_)
            timer_->cancel();
        watch_.reset();
    });
    queue_->stop();
}

void Reachability::ignoreInterface(int index) {
    std::lock_guard lock(mutex_);
    ignored_.insert(index);
}

std::shared_ptr<void> Reachability::addObserver(Observer observer) {
    auto token = std::make_shared<Observer>(std::move(observer));
    std::lock_guard lock(mutex_);
    std::erase_if(observers_, [](const auto& weak) { return weak.expired(); });
    observers_.push_back(token);
    return token;
}

ReachabilityFlags Reachability::flags() const {
    std::lock_guard lock(mutex_);
    return flags_;
}

void Reachability::start() {
    bool started = queue_->onQueue([&] {
        try {
            settle(false);
        } catch (const Error& error) {
            LOG_ERROR("Network monitor: {}", error.description());
            return false;
        }
        waitForEvents();
        return true;
    });
    if (!started)
        throw ReachabilityError(ReachabilityError::startFailed);
}

void Reachability::waitForEvents() {
    std::weak_ptr<Reachability> weak = shared_from_this();
    watch_->descriptor.async_wait(asio::posix::stream_descriptor::wait_read,
                                  [weak](const std::error_code& error) {
                                      auto self = weak.lock();
                                      if (!self || error || !self->watch_)
                                          return;
                                      self->readEvents();
                                      self->waitForEvents();
                                  });
}

void Reachability::readEvents() {
    bool relevant = false;
    std::vector<std::uint8_t> buffer(1 << 16);
    for (;;) {
        ssize_t n = ::recv(watch_->socket->fd(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n < 0) {
            relevant |= errno == ENOBUFS; // events were lost: read the state again
            if (errno == EINTR || errno == ENOBUFS)
                continue;
            break;
        }
        std::lock_guard lock(mutex_);
        Rtnetlink::forEachMessage(buffer.data(), static_cast<std::size_t>(n), [&](const nlmsghdr& message) {
            relevant |= !ignored_.count(Rtnetlink::messageLinkIndex(message));
        });
    }
    if (!relevant)
        return;
    if (timer_)
        timer_->cancel();
    std::weak_ptr<Reachability> weak = shared_from_this();
    timer_ = queue_->after(debounce_, [weak] {
        auto self = weak.lock();
        if (!self)
            return;
        try {
            self->settle(true);
        } catch (const Error& error) {
            LOG_ERROR("Network monitor: {}", error.description());
        }
    });
}

void Reachability::settle(bool report) {
    auto routes = requests_->defaultRoutes();
    {
        std::lock_guard lock(mutex_);
        std::erase_if(routes, [&](const auto& route) { return ignored_.count(route.index) > 0; });
    }
    std::stable_sort(routes.begin(), routes.end(), [](const auto& a, const auto& b) {
        return std::tie(a.family, a.priority) < std::tie(b.family, b.priority);
    });
    std::string text;
    ReachabilityFlags flags = 0;
    for (const auto& route : routes)
        text += std::to_string(route.family) + " " + std::to_string(route.index) + " " + route.gateway + " " +
                std::to_string(route.priority) + ";";
    if (!routes.empty()) {
        flags |= reachabilityFlag::reachable;
        if (routes.front().gateway.empty())
            flags |= reachabilityFlag::isDirect;
        if (requests_->isPointToPoint(routes.front().index))
            flags |= reachabilityFlag::transientConnection;
    }
    std::vector<std::shared_ptr<Observer>> observers;
    {
        std::lock_guard lock(mutex_);
        bool changed = text != routes_ || flags != flags_;
        flags_ = flags;
        routes_ = text;
        if (!changed || !report)
            return;
        for (const auto& weak : observers_)
            if (auto observer = weak.lock())
                observers.push_back(observer);
    }
    LOG_DEBUG("Network monitor: default routes now {}", text.empty() ? "none" : text);
    DispatchQueue::main()->async([observers = std::move(observers), flags] {
        for (const auto& observer : observers)
            (*observer)(flags);
    });
}

} // namespace pemtrox
