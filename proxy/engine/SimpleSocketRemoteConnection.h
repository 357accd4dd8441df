#pragma once

#include "proxy/engine/RemoteConnection.h"
#include "proxy/engine/SocketRemoteConnection.h"
#include "proxy/io/Plumber.h"

namespace pemtrox {

/// A remote connection over a socket that a built-in responder already holds (an
/// in-process socket pair): connecting looks nothing up and opens nothing.
class SimpleSocketRemoteConnection : public PlumberTracked,
                                     public RemoteConnection,
                                     public SocketRemoteConnection,
                                     public std::enable_shared_from_this<SimpleSocketRemoteConnection> {
public:
    static std::shared_ptr<SimpleSocketRemoteConnection> make(std::shared_ptr<Socket> rawRemote);
    explicit SimpleSocketRemoteConnection(std::shared_ptr<Socket> rawRemote)
        : rawRemote_(std::move(rawRemote)) {}

    bool isConnected() const override;
    std::shared_ptr<HttpInputStream> remoteIn() const override { return remoteIn_; }
    std::shared_ptr<HttpOutputStream> remoteOut() const override { return remoteOut_; }
    /// Serves only the exchange it was made for.
    bool reconnectRequired(const ProxyEvent&) override { return !isConnected(); }
    /// Completes with `connected` inside this call.
    void connect(const std::shared_ptr<ProxyEvent>& evt, RemoteConnectionCallback completion) override;
    void close() override;
    void updateEvent(ProxyEvent&) override {}

    std::shared_ptr<Socket> remote() const override { return remote_; }
    std::shared_ptr<Socket> rawRemote() const override { return rawRemote_; }
    std::shared_ptr<MyInputStream> remoteInRaw() const override { return remoteInRaw_; }
    std::shared_ptr<MyOutputStream> remoteOutRaw() const override { return remoteOutRaw_; }

    std::vector<std::shared_ptr<Socket>> sockets() const override { return {remote_, rawRemote_}; }
    bool allowHalfClose() override {
        return rawRemote_ && remote_ == rawRemote_ && rawRemote_->allowHalfClose();
    }

private:
    std::shared_ptr<Socket> remote_;
    std::shared_ptr<Socket> rawRemote_;
    std::shared_ptr<MyInputStream> remoteInRaw_;
    std::shared_ptr<MyOutputStream> remoteOutRaw_;
    std::shared_ptr<HttpInputStream> remoteIn_;
    std::shared_ptr<HttpOutputStream> remoteOut_;
};

} // namespace pemtrox
