#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "platform/TlsEngine.h"
#include "proxy/io/AbstractSocketWrapper.h"
#include "proxy/io/GCDAsyncSocketSwiftDelegate.h"
#include "proxy/io/SSLSocket.h"
#include "proxy/io/SocketConnectionState.h"

namespace pemtrox {

class AsyncTcpSocket;
class GCDAsyncSSLSocketDelegateHelper;
class TlsDriver;

/// TLS run by the socket layer itself (startTLS) on the connection of a DefaultSocket: the
/// layer's TLS driver encrypts and decrypts below the DefaultSocket's own streams, which
/// this socket presents. It takes the layer's callbacks in the DefaultSocket's place,
/// answering the connect callback from the handshake's outcome and passing everything else
/// on. It knows the DefaultSocket only as the three things it uses of it, so that the plain
/// socket can make it without the two knowing each other.
///
/// Contract: runs on the DefaultSocket's queue. The connect callback runs once: `connected`
/// (this socket) when the handshake completes, `failed` when the connection ends before (a
/// verification failure carries "certificate verify failed: …"), or before make returns
/// when the DefaultSocket is closed already.
class DefaultSSLSocket : public AbstractSocketWrapper,
                         public SSLSocket,
                         public GCDAsyncSSLSocketSwiftDelegate {
public:
    /// Over the plain socket `plain` (a DefaultSocket): `layer` is its socket layer socket and
    /// `plainCallbacks` the plain socket's own callbacks, which this one passes on.
    static std::shared_ptr<DefaultSSLSocket> make(std::shared_ptr<Socket> plain,
                                                  std::shared_ptr<AsyncTcpSocket> layer,
                                                  std::shared_ptr<GCDAsyncSocketSwiftDelegate> plainCallbacks,
                                                  const TlsSettings& settings,
                                                  SocketConnectCallback callback);

    DefaultSSLSocket(std::shared_ptr<Socket> plain,
                     std::shared_ptr<GCDAsyncSocketSwiftDelegate> plainCallbacks,
                     SocketConnectCallback callback);
    ~DefaultSSLSocket() override;

    std::shared_ptr<MyInputStream> inputStream() const override;
    std::shared_ptr<MyOutputStream> outputStream() const override;

    std::optional<std::string> negotiatedCipher() const override;
    std::optional<std::string> negotiatedProtocol() const override;
    /// The peer's chain (DER, leaf first) once the handshake completed; the engine has
    /// verified it on the client side.
    std::optional<std::vector<Data>> trust() const override { return trust_; }
    void withSSLContext(const std::function<void(TlsEngine&)>& body) const override;
    std::optional<std::vector<Data>> peerCertificates() const override { return trust_; }
    /// The TLS driver the layer runs (null when the plain socket was closed already).
    const std::shared_ptr<TlsDriver>& driver() const { return tls_; }

    void socketDidConnect(const std::string& host, int port) override;
    void socketDidRead(Data data, long tag) override;
    void socketDidWrite(long tag) override;
    void socketDidDisconnect(ErrorPtr error) override;
    /// The peer's end under half-close (a tunnel allows it before TLS is layered on top).
    void socketDidReadToEnd() override;
    void socketDidSecure() override;

private:
    std::optional<std::vector<Data>> trust_;
    SocketConnectCallback connectCallback_;
    std::shared_ptr<GCDAsyncSocketSwiftDelegate> plainCallbacks_;
    std::shared_ptr<GCDAsyncSSLSocketDelegateHelper> defaultSocketDelegate_;
    std::shared_ptr<TlsDriver> tls_;
};

} // namespace pemtrox
