#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "lwip/tcp.h"
#include "platform/DispatchQueue.h"
#include "proxy/io/AbstractSocket.h"
#include "proxy/io/PipeStream.h"
#include "proxy/io/SocketInputStream.h"
#include "proxy/io/SocketOutputStream.h"
#include "proxy/io/SocketStreamProtocol.h"
#include "proxy/io/SynchronousOutputBuffer.h"

namespace pemtrox {

/// A socket over one TCP connection that a listener of the stack accepted. `host`/`port`
/// are the endpoint the app dialled, `localHost`/`localPort` the app's own.
///
/// Received bytes go into a pipe and are acknowledged to the stack only as readers take
/// them (at most 4096 bytes wait unacknowledged-for). Written bytes queue in a synchronous
/// output buffer and enter the stack's send buffer as it has room.
///
/// Ownership: while attached, the pcb holds the socket (one strong reference), given up
/// when the socket detaches or the stack frees the pcb. Everything runs on `queue`, the
/// stack's queue.
///
/// Ends: the app's end of stream ends the input after its buffered bytes; closing the
/// output stream alone (no error, input still open) ends our side with a FIN once the
/// queued bytes have left, and reading goes on. close() without an error closes the
/// connection once its queued output is in the stack; with an error it aborts (RST).
class TCPSocket : public AbstractSocket,
                  public SocketStreamProtocol,
                  public SynchronousOutputBufferDestination {
public:
    /// Attaches a socket to an accepted pcb. On `queue`, inside the accept callback.
    static std::shared_ptr<TCPSocket> make(tcp_pcb* pcb, std::shared_ptr<DispatchQueue> queue);
    TCPSocket(tcp_pcb* pcb, std::shared_ptr<DispatchQueue> queue);
    /// Fatal "Socket deinit while not closed: …" when released open.
    ~TCPSocket() override;

    // Socket
    std::shared_ptr<MyInputStream> inputStream() const override { return socketInputStream_; }
    std::shared_ptr<MyOutputStream> outputStream() const override { return socketOutputStream_; }
    bool isClosed() const override { return AbstractSocket::isClosed(); }
    void close(ErrorPtr error = nullptr, CloseCompletion completion = nullptr) override {
        AbstractSocket::close(std::move(error), std::move(completion));
    }
    /// A stack connection always passes the app's end on alone and ends our side when its
    /// output stream closes with the input still open.
    bool allowHalfClose() override { return true; }
    /// The app reset the connection or the stack dropped it, or the app ended its side (and,
    /// with `unreadKeepsIt`, every byte it sent has been read).
    bool peerHasLeft(bool unreadKeepsIt, bool unreadAbove) override;
    /// Aborts the connection (RST), dropping the output still queued, and closes the socket
    /// without an error of its own; nothing once closed or let go by the stack.
    void resetConnection() override;

    // SocketStreamProtocol
    void read(std::optional<std::uint64_t> maxLength, double timeout) override;
    void readTo(std::uint64_t length, double timeout) override;
    void readTo(const Data& marker, std::uint64_t maxLength, double timeout) override;
    /// Queues the bytes and feeds the stack at once; throws what the stack refuses with.
    void write(Data data, bool flush, double timeout) override;
    void flush() override;
    void inputStreamDidClose(const MyInputStream& stream, ErrorPtr error,
                             CloseCompletion completion) override {
        AbstractSocket::inputStreamDidClose(stream, std::move(error), std::move(completion));
    }
    /// Closing the output alone, without an error, ends our sending side.
    void outputStreamDidClose(const MyOutputStream& stream, ErrorPtr error,
                              CloseCompletion completion) override;

    // SynchronousOutputBufferDestination
    std::int64_t availableSpace() const override;
    Result<std::int64_t> write(const Data& data, std::size_t offset, std::size_t count, bool moreFollows,
                               bool flush) override;
    void sent(std::int64_t count) override;

    /// Lets go of the pcb: true when detached afterwards, false when a graceful close waits
    /// for the queued output.
    bool tryDisconnect(ErrorPtr error);

    /// This socket aborted its pcb: a stack callback that did it must return ERR_ABRT.
    bool abortedPcb() const { return aborted_; }
    bool pcbDeallocated() const { return pcbDeallocated_; }
    std::int64_t pendingAck() const { return pendingAck_; }
    bool disconnectAfterWriting() const { return disconnectAfterWriting_; }
    const std::shared_ptr<DispatchQueue>& queue() const { return queue_; }
    std::string description() const;

private:
    class CallbackScope;
    static err_t onReceive(void* arg, tcp_pcb* pcb, pbuf* chain, err_t err);
    static err_t onSent(void* arg, tcp_pcb* pcb, u16_t length);
    static void onError(void* arg, err_t err);
    static err_t onPoll(void* arg, tcp_pcb* pcb);
    /// Drains the output into the stack once it has room; aborts on a refusal.
    void feedStack();
    /// With output left over while the stack's memory is short, queues the socket to be
    /// fed again once memory is freed.
    void waitForStackMemory();
    void probeClosedWindow();
    /// Runs the step once the writer has heard of every byte the stack took so far: at
    /// once, or after the notices still on the queue.
    void afterSendNotices(std::function<void()> step);
    void releaseStackMemorySoon();

    void attach();
    void acknowledge();
    void detach();
    void abortPcb();
    /// Sends our FIN once a requested shutdown finds the output empty.
    void finishShutdown();
    void output();
    void closeImpl(ErrorPtr error, CloseCompletion completion) override;
    void finalCloseStep(ErrorPtr error, CloseCompletion completion) override;

    std::shared_ptr<DispatchQueue> queue_;
    tcp_pcb* pcb_;
    std::shared_ptr<PipeStream> inputPipe_;
    std::shared_ptr<SynchronousOutputBuffer> outputBuffer_;
    std::shared_ptr<SocketInputStream> socketInputStream_;
    std::shared_ptr<SocketOutputStream> socketOutputStream_;
    bool disconnectAfterWriting_ = false;
    bool pcbDeallocated_ = false;
    bool aborted_ = false;
    std::int64_t pendingAck_ = 0;
    ErrorPtr socketError_;
    bool appEnded_ = false;        // the app's FIN arrived
    bool shutdownPending_ = false; // our side is to end once the output has drained
    bool shutdownSent_ = false;
    int callbackDepth_ = 0; // inside a stack callback for this pcb
    bool waitingForMemory_ = false;
    std::uint64_t written_ = 0; // bytes queued in the stack so far
    std::uint32_t closedWindowPolls_ = 0;
    int sendNotices_ = 0; // notices of bytes the stack took, on the queue for the writer
    std::shared_ptr<TCPSocket> pcbReference_;
};

} // namespace pemtrox
