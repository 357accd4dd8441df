#include "platform/HostResolver.h"

#include <algorithm>
#include <array>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <unordered_map>

#include <ares.h>
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "platform/DispatchQueue.h"

namespace pemtrox {

namespace {

using Failure = HostResolution::Failure;

std::mutex settingsMutex;
HostResolver::Settings& settings() {
    static HostResolver::Settings current;
    return current;
}

HostResolution failed(Failure failure, int code = 0, std::string message = {}) {
    HostResolution result;
    result.failure = failure;
    result.errorCode = code;
    result.errorMessage = std::move(message);
    return result;
}

/// The canonical text of a plain numeric IPv4 or IPv6 address (no scope), which needs no
/// resolver.
std::optional<std::string> numericAddress(const std::string& name) {
    in6_addr bytes{};
    char text[INET6_ADDRSTRLEN];
    for (int family : {AF_INET, AF_INET6}) {
        if (inet_pton(family, name.c_str(), &bytes) == 1 && inet_ntop(family, &bytes, text, sizeof text))
            return std::string(text);
    }
    return std::nullopt;
}

/// A name no resolver could look up: empty, longer than a DNS name, or holding bytes that
/// no host name has (controls, blanks, anything outside ASCII).
bool impossibleName(const std::string& name) {
    if (name.empty() || name.size() > 253)
        return true;
    for (unsigned char c : name)
        if (c <= ' ' || c >= 0x7f)
            return true;
    return false;
}

/// The resolver of one queue: a c-ares channel whose sockets and time-outs are watched by
/// the queue's own event loop. It lives as long as the queue's event loop (an Asio service
/// of it), and is only touched on the queue's thread.
class ResolverService : public asio::execution_context::service {
public:
    static asio::execution_context::id id;

    explicit ResolverService(asio::io_context& io) : service(io), io_(io), timer_(io) {
        static std::once_flag libraryReady;
        std::call_once(libraryReady, [] { ares_library_init(ARES_LIB_INIT_ALL); });
    }

    void start(const std::string& name, HostResolver::Completion completion,
               const std::shared_ptr<HostLookup>& handle, std::uint64_t id) {
        if (!readyChannel()) {
            completion(failed(Failure::noResolver));
            return;
        }
        if (auto addresses = remembered(name)) {
            HostResolution result;
            result.addresses = std::move(*addresses);
            asio::post(io_,
                       [completion = std::move(completion), handle, result = std::move(result)]() mutable {
                           if (!handle->isCancelled())
                               completion(std::move(result));
                       });
            return;
        }
        auto& lookup = pending_[id];
        lookup.completion = std::move(completion);
        lookup.handle = handle;
        lookup.deadline = std::make_unique<asio::steady_timer>(io_, settings_.timeLimit);
        lookup.deadline->async_wait([this, id](const std::error_code& ec) {
            if (!ec)
                finish(id, failed(Failure::timedOut, ARES_ETIMEOUT, ares_strerror(ARES_ETIMEOUT)));
        });
        ares_addrinfo_hints hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM; // one entry per address
        // c-ares answers some lookups inside the call (/etc/hosts, refusals): catch those.
        starting_ = id;
        startAnswer_.reset();
        ares_getaddrinfo(channel_, name.c_str(), nullptr, &hints, &ResolverService::answered,
                         std::make_unique<Ticket>(Ticket{this, id, name}).release());
        starting_ = 0;
        if (auto answer = std::move(startAnswer_)) {
            startAnswer_.reset();
            if (answer->failure == Failure::notFound) { // refused at start: at once
                auto refused = std::move(pending_[id].completion);
                pending_.erase(id);
                answer->failure = Failure::rejected;
                refused(std::move(*answer));
                return;
            }
            finish(id, std::move(*answer));
        }
        rearmTimer();
    }

    /// Forgets the lookup: its answer, when it comes, goes nowhere.
    void cancel(std::uint64_t id) { pending_.erase(id); }

private:
    /// The channel, made on first use and again after a failed start (out of descriptors,
    /// say) or, while no query is out, after /etc/resolv.conf changed (c-ares reads it only
    /// when a channel is made; /etc/hosts it reads on every lookup).
    bool readyChannel() {
        auto stamp = resolvConfStamp();
        if (channel_ && stamp != resolvConf_ && pending_.empty() &&
            !ares_timeout(channel_, nullptr, &idle_)) {
            ares_destroy(channel_); // its open sockets are unwatched through the state callback
            channel_ = nullptr;
        }
        if (channel_)
            return true;
        answers_.clear(); // another channel may ask other servers
        resolvConf_ = stamp;
        {
            std::lock_guard lock(settingsMutex);
            settings_ = settings();
        }
        ares_options options{};
        options.sock_state_cb = &ResolverService::socketStateChanged;
        options.sock_state_cb_data = this;
        options.tries = 2; // as the system resolver: a dead server costs two time-outs, not four
        if (ares_init_options(&channel_, &options, ARES_OPT_SOCK_STATE_CB | ARES_OPT_TRIES) != ARES_SUCCESS) {
            channel_ = nullptr;
            return false;
        }
        if (!settings_.servers.empty() &&
            ares_set_servers_ports_csv(channel_, settings_.servers.c_str()) != ARES_SUCCESS) {
            ares_destroy(channel_);
            channel_ = nullptr;
        }
        return channel_ != nullptr;
    }

    static std::array<long, 4> fileStamp(const char* path) {
        struct stat info {};
        if (stat(path, &info) != 0)
            return {};
        return {static_cast<long>(info.st_ino), static_cast<long>(info.st_size), info.st_mtim.tv_sec,
                info.st_mtim.tv_nsec};
    }
    static std::array<long, 4> resolvConfStamp() { return fileStamp("/etc/resolv.conf"); }

    /// The addresses of an earlier answer for the name while it holds: within its time to
    /// live and while /etc/hosts is unchanged. A new tunnel to a server seen a moment ago then
    /// neither reads /etc/hosts again nor opens a socket (c-ares sorts the addresses it found
    /// by connecting a datagram socket to each).
    std::optional<std::vector<std::string>> remembered(const std::string& name) {
        if (auto stamp = fileStamp("/etc/hosts"); stamp != hosts_) {
            hosts_ = stamp;
            answers_.clear();
            return std::nullopt;
        }
        auto found = answers_.find(name);
        if (found == answers_.end())
            return std::nullopt;
        if (std::chrono::steady_clock::now() >= found->second.until) {
            answers_.erase(found);
            return std::nullopt;
        }
        return found->second.addresses;
    }

    void remember(const std::string& name, const std::vector<std::string>& addresses,
                  std::chrono::seconds timeToLive) {
        if (answers_.size() >= HostResolver::answersKept) {
            auto now = std::chrono::steady_clock::now();
            std::erase_if(answers_, [now](const auto& entry) { return now >= entry.second.until; });
            if (answers_.size() >= HostResolver::answersKept)
                answers_.clear();
        }
        answers_[name] = {addresses, std::chrono::steady_clock::now() + timeToLive};
    }

    /// How long an answer is kept: its time to live, but at least a second (the hosts file's
    /// answers have none) and at most a minute.
    static std::chrono::seconds timeToLive(const ares_addrinfo& info) {
        int least = std::numeric_limits<int>::max();
        for (auto* node = info.nodes; node; node = node->ai_next)
            least = std::min(least, node->ai_ttl);
        for (auto* cname = info.cnames; cname; cname = cname->next)
            least = std::min(least, cname->ttl);
        return std::chrono::seconds(std::clamp(least, 1, 60));
    }

    struct Ticket {
        ResolverService* service;
        std::uint64_t id;
        std::string name;
    };
    struct Answer {
        std::vector<std::string> addresses;
        std::chrono::steady_clock::time_point until;
    };
    struct Pending {
        HostResolver::Completion completion;
        std::shared_ptr<HostLookup> handle;
        std::unique_ptr<asio::steady_timer> deadline;
    };
    struct Watch {
        explicit Watch(asio::io_context& io, int fd) : descriptor(io, fd) {}
        asio::posix::stream_descriptor descriptor; // c-ares owns the descriptor itself
        bool read = false, write = false, readArmed = false, writeArmed = false, gone = false;
    };

    void shutdown() override {
        shuttingDown_ = true;
        pending_.clear();
        for (auto& [fd, watch] : watches_) {
            watch->gone = true;
            watch->descriptor.release();
        }
        watches_.clear();
        if (channel_)
            ares_destroy(channel_); // answers every query with ARES_EDESTRUCTION
        channel_ = nullptr;
    }

    static void answered(void* arg, int status, int, ares_addrinfo* info) {
        std::unique_ptr<Ticket> ticket(static_cast<Ticket*>(arg));
        HostResolution result;
        std::chrono::seconds keep{0};
        if (status == ARES_SUCCESS && info) {
            for (auto* node = info->nodes; node; node = node->ai_next) {
                char text[NI_MAXHOST];
                if (getnameinfo(node->ai_addr, node->ai_addrlen, text, sizeof text, nullptr, 0,
                                NI_NUMERICHOST) == 0)
                    result.addresses.emplace_back(text);
            }
            keep = timeToLive(*info);
        }
        if (info)
            ares_freeaddrinfo(info);
        if (status == ARES_EDESTRUCTION)
            return; // the queue's event loop is going away
        auto* self = ticket->service;
        if (result.addresses.empty())
            result = failed(Failure::notFound, status == ARES_SUCCESS ? ARES_ENODATA : status,
                            ares_strerror(status == ARES_SUCCESS ? ARES_ENODATA : status));
        else
            self->remember(ticket->name, result.addresses, keep);
        if (self->starting_ == ticket->id) {
            self->startAnswer_ = std::move(result);
            return;
        }
        self->finish(ticket->id, std::move(result));
    }

    /// Hands the answer to the asker on a later turn (never inside c-ares's own processing).
    void finish(std::uint64_t id, HostResolution result) {
        auto found = pending_.find(id);
        if (found == pending_.end())
            return;
        Pending lookup = std::move(found->second);
        pending_.erase(found);
        lookup.deadline->cancel();
        asio::post(io_, [completion = std::move(lookup.completion), handle = std::move(lookup.handle),
                         result = std::move(result)]() mutable {
            if (!handle->isCancelled())
                completion(std::move(result));
        });
    }

    static void socketStateChanged(void* data, ares_socket_t fd, int readable, int writable) {
        auto* self = static_cast<ResolverService*>(data);
        if (!self->shuttingDown_)
            self->watchSocket(fd, readable != 0, writable != 0);
    }

    void watchSocket(int fd, bool read, bool write) {
        auto found = watches_.find(fd);
        if (!read && !write) { // c-ares is about to close it
            if (found != watches_.end()) {
                found->second->gone = true;
                found->second->descriptor.release();
                watches_.erase(found);
            }
            return;
        }
        if (found == watches_.end())
            found = watches_.emplace(fd, std::make_shared<Watch>(io_, fd)).first;
        auto watch = found->second;
        watch->read = read;
        watch->write = write;
        arm(watch, fd);
    }

    void arm(const std::shared_ptr<Watch>& watch, int fd) {
        if (watch->read && !watch->readArmed) {
            watch->readArmed = true;
            watch->descriptor.async_wait(asio::posix::descriptor_base::wait_read,
                                         [this, watch, fd](const std::error_code& ec) {
                                             watch->readArmed = false;
                                             if (!ec && !watch->gone)
                                                 ready(watch, fd, fd, ARES_SOCKET_BAD);
                                         });
        }
        if (watch->write && !watch->writeArmed) {
            watch->writeArmed = true;
            watch->descriptor.async_wait(asio::posix::descriptor_base::wait_write,
                                         [this, watch, fd](const std::error_code& ec) {
                                             watch->writeArmed = false;
                                             if (!ec && !watch->gone)
                                                 ready(watch, fd, ARES_SOCKET_BAD, fd);
                                         });
        }
    }

    void ready(const std::shared_ptr<Watch>& watch, int fd, ares_socket_t readable, ares_socket_t writable) {
        ares_process_fd(channel_, readable, writable);
        if (!watch->gone)
            arm(watch, fd);
        rearmTimer();
    }

    /// Wakes c-ares when its next time-out (a query's retry) is due.
    void rearmTimer() {
        timeval buffer{};
        timeval* next = channel_ ? ares_timeout(channel_, nullptr, &buffer) : nullptr;
        if (!next) {
            timer_.cancel();
            return;
        }
        timer_.expires_after(std::chrono::seconds(next->tv_sec) + std::chrono::microseconds(next->tv_usec));
        timer_.async_wait([this](const std::error_code& ec) {
            if (ec || !channel_)
                return;
            ares_process_fd(channel_, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
            rearmTimer();
        });
    }

    asio::io_context& io_;
    asio::steady_timer timer_; // made first: the event loop's reactor outlives this service
    ares_channel channel_ = nullptr;
    HostResolver::Settings settings_;
    std::array<long, 4> resolvConf_{};
    timeval idle_{};
    std::unordered_map<std::uint64_t, Pending> pending_;
    std::unordered_map<std::string, Answer> answers_;
    std::array<long, 4> hosts_{};
    std::map<int, std::shared_ptr<Watch>> watches_;
    std::uint64_t starting_ = 0;
    std::optional<HostResolution> startAnswer_;
    bool shuttingDown_ = false;
};

asio::execution_context::id ResolverService::id;

std::atomic<std::uint64_t> nextLookupId{1};

} // namespace

void HostLookup::cancel() {
    if (cancelled_.exchange(true))
        return;
    auto queue = queue_.lock();
    std::uint64_t id = id_;
    if (!queue || id == 0)
        return;
    auto drop = [id] {
        asio::use_service<ResolverService>(DispatchQueue::current()->ioContext()).cancel(id);
    };
    if (queue->isCurrent())
        drop();
    else
        queue->async(drop);
}

std::shared_ptr<HostLookup> HostResolver::resolve(std::string name, std::shared_ptr<DispatchQueue> queue,
                                                  Completion completion) {
    auto handle = std::make_shared<HostLookup>();
    handle->queue_ = queue;
    if (auto address = numericAddress(name)) {
        HostResolution result;
        result.addresses.push_back(std::move(*address));
        queue->async([handle, completion = std::move(completion), result = std::move(result)]() mutable {
            if (!handle->isCancelled())
                completion(std::move(result));
        });
        return handle;
    }
    if (impossibleName(name)) {
        auto refuse = [handle, completion = std::move(completion)] {
            if (!handle->isCancelled())
                completion(failed(Failure::rejected, EAI_NONAME, gai_strerror(EAI_NONAME)));
        };
        if (queue->isCurrent())
            refuse();
        else
            queue->async(refuse);
        return handle;
    }
    // The id is known before the lookup starts, so that a cancel from any thread finds it.
    handle->id_ = nextLookupId++;
    // Runs on the queue (which it does not hold: work posted to a queue must not keep it).
    auto start = [handle, name = std::move(name), completion = std::move(completion)]() mutable {
        if (!handle->isCancelled())
            asio::use_service<ResolverService>(DispatchQueue::current()->ioContext())
                .start(name, std::move(completion), handle, handle->id_);
    };
    if (queue->isCurrent())
        start();
    else
        queue->async(std::move(start));
    return handle;
}

void HostResolver::configure(Settings chosen) {
    std::lock_guard lock(settingsMutex);
    settings() = std::move(chosen);
}

} // namespace pemtrox
