#include "proxy/tls/KeyPool.h"

#include "proxy/tls/SSLCertificateGenerator.h"

namespace pemtrox {

std::shared_ptr<KeyPool> KeyPool::shared() {
    static auto pool = std::make_shared<KeyPool>(8, 2048);
    return pool;
}

KeyPool::KeyPool(std::size_t size, unsigned int bits)
    : size_(size), bits_(bits), worker_([this] { run(); }) {}

KeyPool::~KeyPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wanted_.notify_all();
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
