#pragma once

#include <memory>

#include "platform/AsyncTcpSocket.h"
#include "platform/TlsEngine.h"

namespace pemtrox {

/// The TLS that AsyncTcpSocket::startTLS runs: a TlsEngine set up from TLS settings, moving
/// its ciphertext through the socket's transport. Its handshake steps run on the program's
/// handshake workers. The owner may keep a reference to ask for the negotiated protocol and
/// cipher once the socket reports it is secure (not before: a step may be on a worker).
class TlsSocketLayer : public AsyncTcpSocketTls {
public:
    /// A layer for the settings; a set-up failure is reported by the first handshake step.
    static std::shared_ptr<TlsSocketLayer> make(const TlsSettings& settings);

    void attach(AsyncTcpSocketTlsTransport& transport) override;
    std::shared_ptr<HandshakeWorkers> handshakeWorkers() const override { return workers_; }
    /// Other workers for the handshake steps, or null to run them on the socket's queue.
    /// Before startTLS.
    void setHandshakeWorkers(std::shared_ptr<HandshakeWorkers> workers) { workers_ = std::move(workers); }
    Status handshake(ErrorPtr& error) override;
    Status read(std::uint8_t* destination, std::size_t length, std::size_t& count, ErrorPtr& error) override;
    Status write(const std::uint8_t* source, std::size_t length, ErrorPtr& error) override;
    void close() override;

    /// The engine, for the negotiated values; null when OpenSSL could not make one.
    const TlsEngine* engine() const { return engine_.get(); }
    TlsEngine* engine() { return engine_.get(); }

    explicit TlsSocketLayer(std::unique_ptr<TlsEngine> engine, ErrorPtr setupError);

private:
    Status translate(TlsEngine::Status status, ErrorPtr& error, const char* what);
    std::unique_ptr<TlsEngine> engine_;
    ErrorPtr setupError_;
    /// The transport of the last attach; the engine's callbacks reach it through here.
    AsyncTcpSocketTlsTransport* transport_ = nullptr;
    std::shared_ptr<HandshakeWorkers> workers_;
};

} // namespace pemtrox
