#pragma once

#include <memory>

namespace pemtrox {

class MyInputStream;
class MyOutputStream;
class Socket;

/// A remote connection over a socket of ours: the socket the streams run on, the socket
/// opened toward the server (they differ once TLS runs over it) and the raw streams.
class SocketRemoteConnection {
public:
    virtual ~SocketRemoteConnection() = default;
    virtual std::shared_ptr<Socket> remote() const = 0;
    virtual std::shared_ptr<Socket> rawRemote() const = 0;
    virtual std::shared_ptr<MyInputStream> remoteInRaw() const = 0;
    virtual std::shared_ptr<MyOutputStream> remoteOutRaw() const = 0;
};

} // namespace pemtrox
