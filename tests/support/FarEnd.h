#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace pemtrox::test {

/// The far side of one connection that the code under test serves: what its peer sends and
/// how the peer ends, and what reaches it. Calls come from the test's thread.
class FarEnd {
public:
    virtual ~FarEnd() = default;
    virtual void send(const std::string& bytes) = 0;
    /// Ends the peer's sending side (FIN).
    virtual void end() = 0;
    /// Resets the connection (RST).
    virtual void reset() = 0;
    virtual std::string received() = 0;
    /// The other side ended its sending side cleanly.
    virtual bool sawEnd() = 0;
    /// The other side reset the connection.
    virtual bool sawReset() = 0;
};

/// A kernel TCP client of a loopback port. Its actions run in order on a thread of their
/// own, so that a send the other side holds back never holds the test; another thread
/// reads everything that arrives, and goes on looking past a clean end for a reset.
class KernelEnd : public FarEnd {
public:
    explicit KernelEnd(int port);
    ~KernelEnd() override;

    void send(const std::string& bytes) override;
    void end() override;
    void reset() override;
    std::string received() override;
    bool sawEnd() override;
    bool sawReset() override;

private:
    void act(std::function<void()> action);
    void actLoop();
    void readLoop(int fd);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> actions_;
    bool stopping_ = false;
    int fd_ = -1;
    std::string received_;
    bool ended_ = false, reset_ = false;
    std::thread reader_, actor_;
};

} // namespace pemtrox::test
