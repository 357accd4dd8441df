#pragma once

#include "proxy/engine/ConnectData.h"
#include "proxy/engine/HttpRemoteConnection.h"

namespace pemtrox {

/// The connection of a CONNECT tunnel: kept open for the whole tunnel and told the
/// client's protocol data once the tunnel is up.
class ConnectRemoteConnection : public HttpRemoteConnection {
public:
    static std::shared_ptr<ConnectRemoteConnection> make(std::shared_ptr<InternalProxyServer> server,
                                                         std::shared_ptr<ProxyEvent> sourceEvent);
    ConnectRemoteConnection(std::shared_ptr<InternalProxyServer> server,
                            std::shared_ptr<ProxyEvent> sourceEvent);

    /// Reuses an open socket at once; otherwise connects as a plain connection does.
    void connect(const std::shared_ptr<ProxyEvent>& evt, RemoteConnectionCallback completion) override;
    /// Connects again and hands the stored client data on again.
    void reconnect(const std::shared_ptr<ProxyEvent>& evt, RemoteConnectionCallback completion) override;
    /// Stores the client's protocol data; completes with `connected` (inside this call).
    void setClientData(const std::shared_ptr<ProxyEvent>& evt, std::shared_ptr<ConnectData> clientData,
                       RemoteConnectionCallback completion) override;
    void setSourceEvent(const std::shared_ptr<ProxyEvent>& evt) override { sourceEvent = evt; }
    std::shared_ptr<ConnectData> tunnelClientData() const override { return clientData; }

    /// The CONNECT request's record.
    std::shared_ptr<ProxyEvent> sourceEvent;
    bool negotiatingConnect = false;
    std::shared_ptr<ConnectData> clientData;
};

} // namespace pemtrox
