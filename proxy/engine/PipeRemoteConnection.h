#pragma once

#include "proxy/engine/RemoteConnection.h"
#include "proxy/io/Plumber.h"

namespace pemtrox {

/// A remote connection whose streams its maker supplies (a prepared response to read, a
/// sink for the request): used by the built-in responders.
class PipeRemoteConnection : public PlumberTracked,
                             public RemoteConnection,
                             public std::enable_shared_from_this<PipeRemoteConnection> {
public:
    static std::shared_ptr<PipeRemoteConnection> make(std::shared_ptr<HttpInputStream> remoteIn,
                                                      std::shared_ptr<HttpOutputStream> remoteOut);
    PipeRemoteConnection(std::shared_ptr<HttpInputStream> remoteIn,
                         std::shared_ptr<HttpOutputStream> remoteOut)
        : remoteIn_(std::move(remoteIn)), remoteOut_(std::move(remoteOut)) {}

    bool connected = true;
    bool httpsSupported = false;

    bool isConnected() const override { return connected; }
    bool supportsHttps() const override { return httpsSupported; }
    std::shared_ptr<HttpInputStream> remoteIn() const override { return remoteIn_; }
    std::shared_ptr<HttpOutputStream> remoteOut() const override { return remoteOut_; }
    bool reconnectRequired(const ProxyEvent&) override { return !connected; }
    /// Completes with `connected` inside this call.
    void connect(const std::shared_ptr<ProxyEvent>&, RemoteConnectionCallback completion) override {
        completion(RemoteConnectionState::connected(shared_from_this()));
    }
    void close() override { connected = false; }
    void updateEvent(ProxyEvent&) override {}

private:
    std::shared_ptr<HttpInputStream> remoteIn_;
    std::shared_ptr<HttpOutputStream> remoteOut_;
};

} // namespace pemtrox
