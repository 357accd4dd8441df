#pragma once

#include <memory>

#include "proxy/io/AbstractBaseSocket.h"

namespace pemtrox {

/// A socket presented over another one (TLS over a TCP or in-memory socket). The endpoints
/// and the closed state are the wrapped socket's, and closing the wrapper closes the
/// wrapped socket, whose will-close block runs the wrapper's own closing work first; so
/// a wrapper is closed exactly when its wrapped socket is.
class AbstractSocketWrapper : public AbstractBaseSocket {
public:
    /// Fatal "<type name> deinited without being closed" when the wrapped socket is still open.
    ~AbstractSocketWrapper() override;

    const std::shared_ptr<Socket>& socket() const { return socket_; }

    std::optional<std::string> host() const override { return socket_->host(); }
    std::optional<int> port() const override { return socket_->port(); }
    std::optional<std::string> localHost() const override { return socket_->localHost(); }
    std::optional<int> localPort() const override { return socket_->localPort(); }
    bool isClosed() const override { return socket_->isClosed(); }
    /// Closes the wrapped socket.
    void close(ErrorPtr error = nullptr, CloseCompletion completion = nullptr) override;

protected:
    explicit AbstractSocketWrapper(std::shared_ptr<Socket> socket);

    /// The wrapper's own closing work, run from the wrapped socket's will-close block; must
    /// call the completion exactly once. Default: the completion at once.
    virtual void closeImpl(ErrorPtr error, CloseCompletion completion);

    /// Couples the close to the wrapped socket, which must derive from AbstractBaseSocket
    /// (fatal otherwise). Called by the factory once the wrapper is owned by a shared_ptr.
    /// The block holds the wrapper weakly and joins any blocks installed before it.
    void coupleClose();

private:
    std::shared_ptr<Socket> socket_;
};

} // namespace pemtrox
