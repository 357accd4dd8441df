#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/DispatchQueue.h"
#include "platform/TlsDriver.h"
#include "platform/TlsEngine.h"
#include "proxy/io/AbstractSocketWrapper.h"
#include "proxy/io/InputStreamEvent.h"
#include "proxy/io/InputStreamHandlerResult.h"
#include "proxy/io/MyInputStream.h"
#include "proxy/io/OutputStreamWriteHandlerResult.h"
#include "proxy/io/SSLSocket.h"
#include "proxy/io/SocketConnectionState.h"

namespace pemtrox {

class CustomOutputStream;
class PipeSocket;
class PipeStream;
class TlsDriver;

/// TLS over any socket, either side, run by the TLS driver over the wrapped socket's
/// streams: ciphertext is read from the wrapped socket's input stream into the driver and
/// written to the wrapped socket's output stream; plaintext comes out of `inputStream` (a
/// pipe) and goes in through `outputStream`. The costly handshake steps run on the
/// handshake workers.
///
/// Contract:
/// - Everything runs on the connection's queue; the driver's transport calls run inside the
///   driver calls made there, or in a turn of their own when a handshake step comes back.
/// - The connect callback runs once, with `connected` (this wrapper) when the handshake
///   completes or `failed` when set-up or the handshake fails, or the socket closes before
///   it ends (before make returns when it is closed already). A client starts its handshake
///   at once; a server waits for the client's first bytes.
/// - A plaintext write completes when the wrapped output stream has taken its ciphertext
///   (its result, so back-pressure passes through), once per write. A write made before the
///   handshake completed waits for it.
/// - Ciphertext is read only while the engine needs it: not while the plaintext pipe holds
///   back what was decrypted.
/// - Closing the wrapper closes the wrapped socket; the close alert goes out first and the
///   plaintext stream ends.
class SSLSocketWrapper : public AbstractSocketWrapper, public SSLSocket, private TlsTransport {
public:
    /// Starts TLS over the socket with the settings; `callback` gets the outcome. Set-up
    /// failures reach the callback before this returns; the wrapper is returned in every
    /// case and its owner closes it.
    static std::shared_ptr<SSLSocketWrapper> make(std::shared_ptr<Socket> socket,
                                                  std::shared_ptr<DispatchQueue> queue,
                                                  const TlsSettings& settings,
                                                  SocketConnectCallback callback);
    /// The same over a PipeSocket (the in-memory TLS test responder serves this way).
    static std::shared_ptr<SSLSocketWrapper> makeOverPipeSocket(std::shared_ptr<PipeSocket> socket,
                                                                std::shared_ptr<DispatchQueue> queue,
                                                                const TlsSettings& settings,
                                                                SocketConnectCallback callback);

    SSLSocketWrapper(std::shared_ptr<Socket> socket, std::shared_ptr<DispatchQueue> queue);
    ~SSLSocketWrapper() override;

    std::shared_ptr<MyInputStream> inputStream() const override;
    std::shared_ptr<MyOutputStream> outputStream() const override;

    std::optional<std::string> negotiatedCipher() const override;
    std::optional<std::string> negotiatedProtocol() const override;
    /// Always absent: the engine verifies the peer itself.
    std::optional<std::vector<Data>> trust() const override { return std::nullopt; }
    void withSSLContext(const std::function<void(TlsEngine&)>& body) const override;
    std::optional<std::vector<Data>> peerCertificates() const override { return std::nullopt; }

    bool handshakeComplete() const { return handshakeComplete_; }
    bool isSSLClosed() const { return isSSLClosed_; }
    /// The driver, for tests that hold its handshake steps (other workers, before the first
    /// step).
    const std::shared_ptr<TlsDriver>& driver() const { return driver_; }

protected:
    void closeImpl(ErrorPtr error, CloseCompletion completion) override;

private:
    /// The plaintext write in progress: its caller's completion and the ciphertext writes
    /// it caused that the wrapped stream has not answered yet.
    struct PendingWrite {
        OutputStreamWriteCompletion completion;
        int outstanding = 0;
        bool issuing = true;
        ErrorPtr error;
        OutputStreamWriteHandlerResult last = OutputStreamWriteHandlerResult::ready();
    };
    /// A plaintext write made before the handshake completed.
    struct EarlyWrite {
        Data data;
        OutputStreamWriteCompletion completion;
    };

    void setUp(const TlsSettings& settings);
    void failConnect(ErrorPtr error);
    /// One event of the wrapped input stream: ciphertext, its end or its error.
    void received(InputStreamEvent event);
    /// Asks the wrapped input stream for ciphertext unless a request is out or it ended.
    void requestCiphertext();
    /// Runs the engine as far as it can go now; one run at a time (a call from inside the
    /// run, or from inside another engine call, makes the run go round again).
    void drive();
    /// false while the handshake waits or after it failed.
    bool handshake();
    void readPump();
    /// The plaintext pipe's answer to a write of decrypted bytes: true to read again.
    bool afterPipe(const OutputStreamWriteHandlerResult& result, TlsDriver::Status status);
    void send(const std::uint8_t* source, std::size_t length) override;
    void handshakeStepReturned() override;
    void write(Data data, bool flush, OutputStreamWriteCompletion completion);
    void finishWrite(const std::shared_ptr<PendingWrite>& pending);

    std::shared_ptr<DispatchQueue> queue_;
    std::shared_ptr<PipeStream> pipeIn_;
    std::shared_ptr<CustomOutputStream> outputStream_;
    SocketConnectCallback connectCallback_;
    std::shared_ptr<TlsDriver> driver_;
    bool eof_ = false;
    ErrorPtr error_;
    bool handshakeComplete_ = false;
    std::array<std::uint8_t, 4096> buffer_{};
    bool isSSLClosed_ = false;
    std::shared_ptr<PendingWrite> pendingWrite_;
    bool rawWriteCalled_ = false;
    std::optional<EarlyWrite> earlyWrite_;
    /// A read of the wrapped input stream is out, or the stream has ended.
    bool reading_ = false, inputEnded_ = false;
    /// Decrypted bytes wait for the plaintext pipe to take them.
    bool pipeWaiting_ = false;
    /// The handshake failed or the plaintext ended: the engine is not run again.
    bool stopped_ = false;
    bool driving_ = false, driveAgain_ = false;
    int engineBusy_ = 0;
};

} // namespace pemtrox
