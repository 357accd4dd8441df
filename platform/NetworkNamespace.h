#pragma once

#include <functional>
#include <string>
#include <sys/types.h>

namespace pemtrox {

/// A network namespace held open by a descriptor. Namespaces are per thread: work for
/// another namespace runs on a helper thread that enters it, and sockets made there stay
/// in it.
class NetworkNamespace {
public:
    /// The calling thread's namespace.
    static NetworkNamespace current();
    /// The named namespace (/run/netns/NAME, as `ip netns` keeps them), made with its
    /// loopback up when it does not exist. Throws Error.
    static NetworkNamespace named(const std::string& name);
    ~NetworkNamespace();
    NetworkNamespace(NetworkNamespace&& other) noexcept;
    NetworkNamespace& operator=(NetworkNamespace&& other) noexcept;

    int fd() const { return fd_; }
    bool sameAs(const NetworkNamespace& other) const {
        return device_ == other.device_ && inode_ == other.inode_;
    }
    /// Runs the work on a helper thread inside the namespace and waits for it; its
    /// exceptions propagate.
    void run(const std::function<void()>& work) const;

private:
    explicit NetworkNamespace(int fd);
    int fd_ = -1;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

} // namespace pemtrox
