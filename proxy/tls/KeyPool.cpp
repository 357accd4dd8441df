#include "proxy/tls/KeyPool.h"

#include <atomic>

#include <openssl/crypto.h>

#include "platform/ThreadName.h"
#include "proxy/tls/SSLCertificateGenerator.h"

namespace pemtrox {

namespace {

/// The shared pool while it exists. Trivially destructible, so it is still there for the
/// library's exit handler whatever the order of destruction at exit.
std::atomic<KeyPool*> sharedPool{nullptr};

} // namespace

std::shared_ptr<KeyPool> KeyPool::shared() {
    static auto pool = [] {
        auto made = std::make_shared<KeyPool>(8, 2048);
        sharedPool = made.get();
        // The library cleans up at exit, possibly before this pool goes, and the worker must
        // not be making a key then: the library's own exit handlers run before it frees
        // anything.
        OPENSSL_atexit([] {
            if (KeyPool* pool = sharedPool.load())
                pool->stop();
        });
        return made;
    }();
    return pool;
}

KeyPool::KeyPool(std::size_t size, unsigned int bits)
    : size_(size), bits_(bits), worker_([this] {
          nameCurrentThread("KeyPool");
          run();
      }) {}

KeyPool::~KeyPool() {
    KeyPool* self = this;
    sharedPool.compare_exchange_strong(self, nullptr);
    stop();
}

void KeyPool::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wanted_.notify_all();
    std::lock_guard lock(joinMutex_);
    if (worker_.joinable())
        worker_.join();
}

crypto::PKeyPtr KeyPool::takeKey() {
    {
        std::lock_guard lock(mutex_);
        if (!keys_.empty()) {
            auto key = std::move(keys_.front());
            keys_.pop_front();
            wanted_.notify_one();
            return key;
        }
    }
    wanted_.notify_one();
    return SSLCertificateGenerator::makeRSAKey(bits_);
}

std::size_t KeyPool::available() {
    std::lock_guard lock(mutex_);
    return keys_.size();
}

void KeyPool::run() {
    std::unique_lock lock(mutex_);
    while (true) {
        wanted_.wait(lock, [this] { return stopping_ || keys_.size() < size_; });
        if (stopping_)
            return;
        lock.unlock();
        auto key = SSLCertificateGenerator::makeRSAKey(bits_);
        lock.lock();
        if (key)
            keys_.push_back(std::move(key));
    }
}

} // namespace pemtrox
