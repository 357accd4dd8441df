#pragma once

#include <string>

namespace pemtrox {

/// A TUN device (bare IP packets: IFF_TUN | IFF_NO_PI) held open by a non-blocking
/// descriptor. The device lives as long as the descriptor: closing it removes the device.
class TunDevice {
public:
    /// Makes the device in the calling thread's network namespace. The name may hold a
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
