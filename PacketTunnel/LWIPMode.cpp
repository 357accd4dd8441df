#include "PacketTunnel/LWIPMode.h"

#include "PacketTunnel/InterceptingServer.h"
#include "PacketTunnel/LWIPStack.h"
#include "PacketTunnel/PacketTunnelICMP6Handler.h"
#include "PacketTunnel/PacketTunnelICMPHandler.h"
#include "PacketTunnel/PacketTunnelProxyServer.h"
#include "PacketTunnel/PacketTunnelTCPProxyServer.h"
#include "PacketTunnel/PacketTunnelUDPProxyServer.h"
#include "PacketTunnel/TunnelInterface.h"
#include "PacketTunnel/lwipglue/icmp_bridge.h"
#include "PacketTunnel/lwipglue/lwipmem.h"
#include "platform/DispatchQueue.h"
#include "platform/Log.h"
#include "platform/LogEntryPoints.h"
#include "proxy/tls/SSLCAGenerator.h"

namespace pemtrox {

std::unique_ptr<LWIPMode> LWIPMode::start(const Configuration& configuration,
                                          std::shared_ptr<PacketFlow> flow) {
    LWIPStack::initialise();
    LWIPStack::limitConnectionsByDescriptors();
    std::unique_ptr<LWIPMode> mode(new LWIPMode());
    mode->queue_ = DispatchQueue::make("Proxying");
    mode->interface_ = TunnelInterface::make(mode->queue_, std::move(flow));
    mode->interface_->add(configuration.tunnelAddress);
    mode->timer_ = LWIPStack::startTimer(*mode->queue_);
    mode->startServers(configuration);
    mode->startDatagramRelays();
    return mode;
}

void LWIPMode::startServers(const Configuration& configuration) {
    auto ca = configuration.caDirectory.empty() ? SSLCAGenerator::make()
                                                : SSLCAGenerator::make(configuration.caDirectory);
    proxyServer_ =
        makeInterceptingServer<PacketTunnelProxyServer>(configuration.sslSettings, queue_, nullptr, ca);
    try {
        proxyServer_->bind(configuration.proxyPort, std::nullopt);
    } catch (...) {
        logWarning("Failed to bind proxy server: ", currentError());
    }
    tcpProxyServer_ = PacketTunnelTCPProxyServer::make(queue_);
    try {
        tcpProxyServer_->start();
    } catch (...) {
        logWarning("Failed to bind TCP proxy server: ", currentError());
    }
}

// The datagram side: the UDP relay and the ICMP handlers with their bridge receivers,
// installed whether or not their sockets could be made (a later bind may succeed).
void LWIPMode::startDatagramRelays() {
    udpProxyServer_ = PacketTunnelUDPProxyServer::make(queue_);
    try {
        udpProxyServer_->bind();
    } catch (...) {
        logWarning("Failed to bind UDP proxy server: ", currentError());
    }
    icmpHandler_ = PacketTunnelICMPHandler::make(queue_);
    icmp6Handler_ = PacketTunnelICMP6Handler::make(queue_);
    for (PacketTunnelICMPProtocol* handler : {static_cast<PacketTunnelICMPProtocol*>(icmpHandler_.get()),
                                              static_cast<PacketTunnelICMPProtocol*>(icmp6Handler_.get())}) {
        try {
            handler->bind();
        } catch (...) {
            logWarning(handler == icmpHandler_.get() ? "Failed to bind ICMP handler: "
                                                     : "Failed to bind ICMP6 handler: ",
                       currentError());
        }
    }
    queue_->sync([&] {
        icmp_bridge_set_icmp_block(
            [handler = icmpHandler_](const ip_addr_t& address, const std::uint8_t* data, std::size_t length) {
                handler->handle(address, data, length);
            });
        icmp_bridge_set_icmp6_block(
            [handler = icmp6Handler_](const ip_addr_t& address, const std::uint8_t* data,
                                      std::size_t length) { handler->handle(address, data, length); });
    });
}

void LWIPMode::invalidateICMPSockets() {
    if (stopped_)
        return;
    icmpHandler_->invalidate();
    icmp6Handler_->invalidate();
}

void LWIPMode::rebindICMPSockets() {
    if (stopped_)
        return;
    try {
        icmpHandler_->bind();
    } catch (...) {
        logError("Failed to rebind ICMP handler after network change: ", currentError());
    }
    try {
        icmp6Handler_->bind();
    } catch (...) {
        logError("Failed to rebind ICMP6 handler after network change: ", currentError());
    }
}

LWIPMode::~LWIPMode() {
    stop();
}

void LWIPMode::startReading() {
    interface_->startReading();
}

void LWIPMode::stop() {
    if (stopped_)
        return;
    stopped_ = true;
    timer_->cancel();
    proxyServer_->stopListening();
    udpProxyServer_->stop();
    tcpProxyServer_->stop();
    icmpHandler_->invalidate();
    icmp6Handler_->invalidate();
    queue_->sync([] {
        icmp_bridge_set_icmp_block(nullptr);
        icmp_bridge_set_icmp6_block(nullptr);
        // What the load took of the stack's memory, for the benchmarks.
        LOG_INFO("Stack heap: {} bytes in use, peak {} of {}", LWIPStack::heapUsed(), LWIPStack::heapPeak(),
                 MEM_SIZE);
        LOG_INFO("Stack connections: {} now, peak {} of {}, {} reset at the limit", LWIPStack::connections(),
                 LWIPStack::connectionsPeak(), lwipmem_connection_limit(), LWIPStack::connectionsRefused());
        LOG_INFO("Stack memory rules: {} silent connections reset, {} SYNs answered without state ({} "
                 "completed)",
                 lwipmem_silent_resets(), lwipmem_syn_cookies(), lwipmem_cookie_connections());
    });
    interface_->remove();
}

} // namespace pemtrox
