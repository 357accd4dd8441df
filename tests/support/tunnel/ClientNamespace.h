#pragma once

#include <memory>
#include <string>

namespace pemtrox {
class TunPacketFlow;
}

namespace pemtrox::test {

/// Real clients through the tunnel: a named client network namespace whose only way out
/// is a TUN device ("pxtun0", 198.18.72.254/24 and fd92:1d98:ae72:f4ca:1234:1234:1234:1234/64,
/// both default routes), and the calling thread moved into a fresh namespace of its own
/// beforehand, so that the servers' addresses it adds (on its loopback) and everything the
/// relay connects to stay out of the machine's networking. Threads made later by the
/// calling thread (the stack's queue among them) share that namespace. Root only.
class ClientNamespace {
public:
    /// Why the fixture cannot run here (not root, no TUN); empty when it can.
    static std::string unavailable();
    ClientNamespace();
    /// Removes the client namespace and returns the thread to its first namespace.
    ~ClientNamespace();
    ClientNamespace(const ClientNamespace&) = delete;
    ClientNamespace& operator=(const ClientNamespace&) = delete;

    const std::string& name() const { return name_; }
    const std::shared_ptr<TunPacketFlow>& flow() const { return flow_; }
    /// Adds an address (with its prefix length) to the loopback of the server side.
    void addServerAddress(const std::string& address);
    /// Runs a shell command inside the client namespace; returns its standard output.
    std::string run(const std::string& command, int* status = nullptr) const;

private:
    std::string name_;
    int home_ = -1;
    std::shared_ptr<TunPacketFlow> flow_;
};

} // namespace pemtrox::test
