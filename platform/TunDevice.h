#pragma once

#include <string>

namespace pemtrox {

/// A TUN device (bare IP packets: IFF_TUN | IFF_NO_PI) held open by a non-blocking
/// descriptor. The device lives as long as the descriptor: closing it removes the device.
class TunDevice {
public:
    /// Packets the device holds for its reader (its transmit queue). The kernel's 500 is
    /// gone in a moment when a burst of datagrams or SYNs meets a reader in user space, who
    /// takes each packet with a system call of its own; a burst is lost at the device, not
    /// paced, so the queue is made long enough to hold one. Each queued packet stays charged
    /// to its sender's socket meanwhile, so every sender is still held by its own buffer.
    static constexpr int queueLength = 10000;

    /// Makes the device in the calling thread's network namespace, with a queue of
    /// queueLength packets (a warning when the kernel refuses it). The name may hold a
    /// "%d" for the kernel to fill in; empty lets the kernel choose. Throws Error.
    static TunDevice create(const std::string& name = "");
    ~TunDevice();
    TunDevice(TunDevice&& other) noexcept;
    TunDevice& operator=(TunDevice&& other) noexcept;

    int fd() const { return fd_; }
    const std::string& name() const { return name_; }
    /// The device's index in the namespace where it was made.
    int index() const { return index_; }
    /// Gives up the descriptor to the caller, who closes it.
    int release();

private:
    TunDevice(int fd, std::string name, int index) : fd_(fd), name_(std::move(name)), index_(index) {}
    int fd_ = -1;
    std::string name_;
    int index_ = 0;
};

} // namespace pemtrox
