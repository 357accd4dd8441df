#include "platform/HandshakeWorkers.h"

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <openssl/ssl.h>

#include "platform/ThreadName.h"

namespace pemtrox {

namespace {

/// Two threads: with the serving queue and the peers' own handshakes on the same machine,
/// more took cores from them without finishing more handshakes.
constexpr std::size_t sharedThreads = 2;

class ThreadWorkers final : public HandshakeWorkers {
public:
    explicit ThreadWorkers(std::size_t threads) {
        for (std::size_t i = 0; i < threads; ++i)
            threads_.emplace_back([this, i] {
                nameCurrentThread("Handshake " + std::to_string(i + 1));
                work();
            });
    }

    void run(Job job) override {
        {
            std::lock_guard lock(mutex_);
            if (!stopping_) {
                jobs_.push_back(std::move(job));
                job = nullptr;
            }
        }
        if (!job)
            wake_.notify_one();
    }

    /// Lets the jobs under way end, drops the others unrun and ends the threads; later jobs
    /// are dropped too. Once.
    void stop() {
        std::deque<Job> dropped;
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                return;
            stopping_ = true;
            dropped.swap(jobs_);
        }
        wake_.notify_all();
        for (auto& t : threads_)
            t.join();
    }

private:
    void work() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (stopping_)
                return;
            Job job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            job();
            job = nullptr; // what it held goes here, not under the lock
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

std::shared_ptr<ThreadWorkers>* sharedWorkers = nullptr;

void stopSharedWorkers() {
    (*sharedWorkers)->stop();
}

} // namespace

std::shared_ptr<HandshakeWorkers> HandshakeWorkers::shared() {
    // Never destroyed, since queues still serving while the program exits may hand it steps
    // (dropped then). Its threads end at exit before the TLS library's own clean-up (exit
    // handlers run last registered first; the library registers its clean-up when it is
    // initialised): a step under way must not find the library's tables gone.
    static std::once_flag once;
    std::call_once(once, [] {
        OPENSSL_init_ssl(0, nullptr);
        sharedWorkers = new std::shared_ptr<ThreadWorkers>(std::make_shared<ThreadWorkers>(sharedThreads));
        std::atexit(stopSharedWorkers);
    });
    return *sharedWorkers;
}

} // namespace pemtrox
