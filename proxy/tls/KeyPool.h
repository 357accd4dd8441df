#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "proxy/tls/CryptoHandles.h"

namespace pemtrox {

/// Where new leaves get their private keys.
class KeySource {
public:
    virtual ~KeySource() = default;
    /// A key no one else holds; null when none can be made.
    virtual crypto::PKeyPtr takeKey() = 0;
};

/// RSA keys made ahead on a worker thread: making one takes 50-200 ms, which would stall
/// the queue that asks for a new host's certificate. Thread-safe.
class KeyPool : public KeySource {
public:
    /// The process's pool of 2048-bit keys, made on first use.
    static std::shared_ptr<KeyPool> shared();

    KeyPool(std::size_t size, unsigned int bits);
    ~KeyPool() override;
    KeyPool(const KeyPool&) = delete;
    KeyPool& operator=(const KeyPool&) = delete;

    /// A ready key, or one made on the caller's thread when the pool is empty.
    crypto::PKeyPtr takeKey() override;
    /// Keys ready now.
    std::size_t available();
    /// Ends the worker: keys are then made only on the callers' threads.
    void stop();

private:
    void run();
    const std::size_t size_;
    const unsigned int bits_;
    std::mutex mutex_;
    std::condition_variable wanted_;
    std::deque<crypto::PKeyPtr> keys_;
    bool stopping_ = false;
    std::mutex joinMutex_;
    std::thread worker_;
};

} // namespace pemtrox
