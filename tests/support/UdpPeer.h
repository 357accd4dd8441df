#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "proxy/io/Data.h"

namespace pemtrox::test {

/// A UDP server on one address (IPv4 or IPv6, port 0 unless given): answers each datagram
/// with what the responder makes of it (nothing for nullopt) and counts the datagrams and
/// the distinct source ports it saw.
class UdpPeer {
public:
    using Responder = std::function<std::optional<Data>(const Data& datagram)>;
    UdpPeer(const std::string& address, Responder responder, int port = 0);
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;
    int port() const { return port_; }
    int datagrams() const { return datagrams_; }
    /// The source port of the last datagram.
    int lastSourcePort() const { return lastSourcePort_; }

private:
    void run();
    Responder responder_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> datagrams_{0}, lastSourcePort_{0};
    std::thread thread_;
};

} // namespace pemtrox::test
