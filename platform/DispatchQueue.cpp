#include "platform/DispatchQueue.h"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "platform/DescriptorWatch.h"
#include "platform/Log.h"
#include "platform/ThreadName.h"

namespace pemtrox {

namespace {
thread_local DispatchQueue* currentQueue = nullptr;
}

struct DispatchQueue::Impl {
    asio::io_context io{1};
    asio::executor_work_guard<asio::io_context::executor_type> guard{io.get_executor()};
    std::thread thread;
    std::string label;
    // Set when the queue is destroyed by its own work: the thread then frees this state
    // once the loop has returned, since the loop cannot be destroyed while it runs.
    std::atomic<bool> orphaned{false};
};

DispatchQueue::DispatchQueue(std::string label) : label_(std::move(label)), impl_(std::make_unique<Impl>()) {}

std::shared_ptr<DispatchQueue> DispatchQueue::make(std::string label) {
    std::shared_ptr<DispatchQueue> q(new DispatchQueue(std::move(label)));
    DispatchQueue* raw = q.get();
    Impl* impl = q->impl_.get();
    impl->label = q->label_;
    impl->thread = std::thread([raw, impl] {
        nameCurrentThread(impl->label);
        currentQueue = raw;
        for (;;) {
            try {
                impl->io.run();
                break;
            } catch (const std::exception& e) {
                // Work must not throw; an escaped exception is a programming error, but one
                // exchange's fault must not stop every other one on the queue.
                LOG_ERROR("Uncaught exception on queue {}: {}", impl->label, e.what());
            }
        }
        currentQueue = nullptr;
        if (impl->orphaned)
            delete impl;
    });
    return q;
}

std::shared_ptr<DispatchQueue> DispatchQueue::main() {
    static std::shared_ptr<DispatchQueue> mainQueue = make("main");
    return mainQueue;
}

DispatchQueue* DispatchQueue::current() {
    return currentQueue;
}

DispatchQueue::~DispatchQueue() {
    stop();
    if (!impl_->thread.joinable())
        return;
    if (std::this_thread::get_id() == impl_->thread.get_id()) {
        impl_->thread.detach();
        impl_->orphaned = true;
        (void)impl_.release(); // the queue's thread frees it
    } else {
        impl_->thread.join();
    }
}

void DispatchQueue::stop() {
    impl_->guard.reset();
    impl_->io.stop();
    if (!isCurrent() && impl_->thread.joinable())
        impl_->thread.join();
}

void DispatchQueue::async(Work work) {
    asio::post(impl_->io, std::move(work));
}

void DispatchQueue::sync(const Work& work) {
    if (isCurrent()) {
        work();
        return;
    }
    // The waiting thread owns the outcome: the queue's thread fills it in and signals under
    // the lock, then touches none of it again, so the exception is released only here.
    std::exception_ptr error;
    std::mutex mutex;
    std::condition_variable finishedCondition;
    bool finished = false;
    asio::post(impl_->io, [&] {
        try {
            work();
        } catch (...) {
            error = std::current_exception();
        }
        std::lock_guard lock(mutex);
        finished = true;
        finishedCondition.notify_one();
    });
    std::unique_lock lock(mutex);
    finishedCondition.wait(lock, [&] { return finished; });
    if (error)
        std::rethrow_exception(error);
}

asio::io_context& DispatchQueue::ioContext() {
    return impl_->io;
}

std::shared_ptr<DescriptorWatch> DispatchQueue::watchDescriptor(int fd) {
    return std::shared_ptr<DescriptorWatch>(new DescriptorWatch(impl_->io, fd));
}

struct RepeatingTimer::Impl {
    std::weak_ptr<DispatchQueue> queue;
    std::unique_ptr<asio::steady_timer> timer;
    DispatchQueue::Work work;
    std::chrono::steady_clock::duration period{};
    bool repeating = false;
    std::atomic<bool> cancelled{false};
};

RepeatingTimer::RepeatingTimer() : impl_(std::make_unique<Impl>()) {}

RepeatingTimer::~RepeatingTimer() = default;

void RepeatingTimer::arm(std::chrono::steady_clock::duration delay) {
    impl_->timer->expires_after(delay);
    impl_->timer->async_wait([self = shared_from_this()](const std::error_code& ec) {
        if (ec || self->impl_->cancelled)
            return;
        if (self->impl_->repeating)
            self->arm(self->impl_->period);
        self->impl_->work();
    });
}

void RepeatingTimer::cancel() {
    if (impl_->cancelled.exchange(true))
        return;
    auto queue = impl_->queue.lock();
    if (!queue)
        return;
    // The asio timer belongs to the queue's thread; cancel it there. The flag already
    // keeps any tick that is queued from running its work.
    queue->async([self = shared_from_this()] {
        self->impl_->timer->cancel();
        self->impl_->work = nullptr;
    });
}

bool RepeatingTimer::isCancelled() const {
    return impl_->cancelled;
}

std::shared_ptr<RepeatingTimer> DispatchQueue::after(std::chrono::steady_clock::duration delay, Work work) {
    std::shared_ptr<RepeatingTimer> t(new RepeatingTimer());
    t->impl_->queue = weak_from_this();
    t->impl_->timer = std::make_unique<asio::steady_timer>(impl_->io);
    t->impl_->work = std::move(work);
    async([t, delay] { t->arm(delay); });
    return t;
}

std::shared_ptr<RepeatingTimer> DispatchQueue::every(std::chrono::steady_clock::duration period, Work work,
                                                     bool firstTickAtOnce) {
    std::shared_ptr<RepeatingTimer> t(new RepeatingTimer());
    t->impl_->queue = weak_from_this();
    t->impl_->timer = std::make_unique<asio::steady_timer>(impl_->io);
    t->impl_->work = std::move(work);
    t->impl_->repeating = true;
    t->impl_->period = period;
    async([t, period, firstTickAtOnce] {
        t->arm(firstTickAtOnce ? std::chrono::steady_clock::duration::zero() : period);
    });
    return t;
}

} // namespace pemtrox
