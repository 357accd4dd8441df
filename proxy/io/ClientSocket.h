#pragma once

#include "proxy/io/DefaultSocket.h"

namespace pemtrox {

/// The socket of a connection that a listening socket accepted; connected from creation, so
/// it knows both endpoints from the start (no connect callback would tell it).
class ClientSocket : public DefaultSocket {
public:
    static std::shared_ptr<ClientSocket> make(std::shared_ptr<AsyncTcpSocket> socket,
                                              std::shared_ptr<DispatchQueue> queue) {
        auto client = finishMaking(makeSocket<ClientSocket>(std::move(socket), std::move(queue)));
        client->takeConnectedAddresses();
        return client;
    }
    using DefaultSocket::DefaultSocket;
};

} // namespace pemtrox
