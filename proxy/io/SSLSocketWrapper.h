#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/DispatchQueue.h"
#include "platform/TlsEngine.h"
#include "proxy/io/AbstractSocketWrapper.h"
#include "proxy/io/InputStreamHandlerResult.h"
#include "proxy/io/MyInputStream.h"
#include "proxy/io/OutputStreamWriteHandlerResult.h"
#include "proxy/io/SSLSocket.h"
#include "proxy/io/SocketConnectionState.h"

namespace pemtrox {

class CustomOutputStream;
class PipeSocket;
class PipeStream;
class SynchronousBuffer;

/// TLS over any socket, either side, run by our TLS engine. Ciphertext is read from the
/// wrapped socket's input stream through a SynchronousBuffer (the engine pulls it
/// synchronously) and written to the wrapped socket's output stream; plaintext comes out
/// of `inputStream` (a pipe) and goes in through `outputStream`.
///
/// Contract:
/// - Everything runs on the connection's queue; the engine's callbacks run inside the
///   engine calls made there.
/// - The connect callback runs once, with `connected` (this wrapper) when the handshake
///   completes or `failed` when set-up or the handshake fails, or the socket closes before
///   it ends (before make returns when it is closed already). A client starts its handshake at once; a server
///   waits for the client's first bytes.
/// - A plaintext write completes when the wrapped output stream has taken its ciphertext
///   (its result, so back-pressure passes through), once per write.
/// - Closing the wrapper closes the wrapped socket; the close alert goes out first and the
///   plaintext stream ends.
class SSLSocketWrapper : public AbstractSocketWrapper, public SSLSocket {
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

    void setUp(const TlsSettings& settings);
    void failConnect(ErrorPtr error);
    /// The buffer has ciphertext (or news of the end) for the engine.
    void ready(InputStreamReply reply);
    /// Runs the engine for the parked events unless it is busy.
    void drive();
    void handshake(InputStreamReply reply);
    void readPump(InputStreamReply reply);
    /// Answers the replies of events that arrived while a pump was waiting.
    void answerParked(InputStreamHandlerResult result);
    TlsEngine::Status sslRead(std::uint8_t* destination, std::size_t& length);
    TlsEngine::Status sslWrite(const std::uint8_t* source, std::size_t length);
    void write(Data data, bool flush, OutputStreamWriteCompletion completion);
    void finishWrite(const std::shared_ptr<PendingWrite>& pending);

    std::shared_ptr<DispatchQueue> queue_;
    std::shared_ptr<PipeStream> pipeIn_;
    std::shared_ptr<CustomOutputStream> outputStream_;
    SocketConnectCallback connectCallback_;
    std::unique_ptr<TlsEngine> sslContext_;
    std::shared_ptr<SynchronousBuffer> syncBuffer_;
    bool eof_ = false;
    ErrorPtr error_;
    bool handshakeComplete_ = false;
    std::array<std::uint8_t, 4096> buffer_{};
    bool isSSLClosed_ = false;
    std::shared_ptr<PendingWrite> pendingWrite_;
    bool rawWriteCalled_ = false;
    /// A pump is waiting for the plaintext pipe to take its bytes; later events only park
    /// their replies, so ciphertext is not read faster than plaintext is taken.
    bool pumpWaiting_ = false;
    std::vector<InputStreamReply> parkedReplies_;
    int engineBusy_ = 0;
};

} // namespace pemtrox
