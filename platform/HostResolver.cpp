#include "platform/HostResolver.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include "platform/DispatchQueue.h"

namespace pemtrox {

namespace {

constexpr int workerCount = 4;

struct Job {
    std::string name;
    std::shared_ptr<DispatchQueue> queue;
    HostResolver::Completion completion;
};

HostResolution lookUp(const std::string& name) {
    HostResolution result;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM; // one entry per address
    addrinfo* list = nullptr;
    int rc = getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (rc != 0) {
        result.errorCode = rc;
        result.errorMessage = gai_strerror(rc);
        return result;
    }
    for (addrinfo* ai = list; ai; ai = ai->ai_next) {
        char text[1025];
        if (getnameinfo(ai->ai_addr, ai->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) == 0)
            result.addresses.emplace_back(text);
    }
    freeaddrinfo(list);
    return result;
}

/// The canonical text of a plain numeric IPv4 or IPv6 address (no scope), which needs no
/// resolver and no worker thread.
std::optional<std::string> numericAddress(const std::string& name) {
    in6_addr bytes{};
    char text[INET6_ADDRSTRLEN];
    for (int family : {AF_INET, AF_INET6}) {
        if (inet_pton(family, name.c_str(), &bytes) == 1 && inet_ntop(family, &bytes, text, sizeof text))
            return std::string(text);
    }
    return std::nullopt;
}

/// The workers live for the whole program; a lookup in progress at exit is abandoned.
class Pool {
public:
    static Pool& shared() {
        static Pool* pool = new Pool();
        return *pool;
    }

    void submit(Job job) {
        {
            std::lock_guard lock(mutex_);
            jobs_.push_back(std::move(job));
        }
        wake_.notify_one();
    }

private:
    Pool() {
        for (int i = 0; i < workerCount; ++i)
            std::thread([this] { run(); }).detach();
    }

    void run() {
        for (;;) {
            Job job;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return !jobs_.empty(); });
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            auto result = lookUp(job.name);
            auto queue = std::move(job.queue);
            queue->async([completion = std::move(job.completion), result = std::move(result)]() mutable {
                completion(std::move(result));
            });
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
};

} // namespace

void HostResolver::resolve(std::string name, std::shared_ptr<DispatchQueue> queue, Completion completion) {
    if (auto address = numericAddress(name)) {
        HostResolution result;
        result.addresses.push_back(std::move(*address));
        queue->async([completion = std::move(completion), result = std::move(result)]() mutable {
            completion(std::move(result));
        });
        return;
    }
    Pool::shared().submit({std::move(name), std::move(queue), std::move(completion)});
}

} // namespace pemtrox
