#include "PacketTunnel/TCPSocket.h"

#include <algorithm>

#include "PacketTunnel/LWIPHelpers.h"
#include "PacketTunnel/TCPSocketError.h"
#include "PacketTunnel/lwipglue/lwipmem.h"
#include "lwip/priv/tcp_priv.h"
#include "platform/Log.h"
#include "proxy/io/SocketError.h"

namespace pemtrox {

// Held by each stack callback: keeps the socket alive while the callback runs (it may
// detach and drop the pcb's reference) and tells completions that they run inside one.
class TCPSocket::CallbackScope {
public:
    explicit CallbackScope(TCPSocket& socket) : self_(socket.selfAs(&socket)) { ++self_->callbackDepth_; }
    ~CallbackScope() { --self_->callbackDepth_; }
    TCPSocket& operator*() { return *self_; }
    TCPSocket* operator->() { return self_.get(); }
    /// What the callback returns: the stack must not touch a pcb aborted meanwhile.
    err_t result() const { return self_->aborted_ ? ERR_ABRT : ERR_OK; }

private:
    std::shared_ptr<TCPSocket> self_;
};

namespace {
// The writer is let go for its next block while two of the stack's send buffers are still
// queued here: the acknowledgements that free the stack's buffer meanwhile find bytes to
// send at once, instead of waiting for the writer to come round through the queue.
constexpr std::int64_t outputAhead = 2 * TCP_SND_BUF;
} // namespace

TCPSocket::TCPSocket(tcp_pcb* pcb, std::shared_ptr<DispatchQueue> queue)
    : queue_(queue), pcb_(pcb), inputPipe_(PipeStream::make(queue)),
      outputBuffer_(SynchronousOutputBuffer::make({})), socketInputStream_(SocketInputStream::make(-1.0)),
      socketOutputStream_(SocketOutputStream::make(-1.0, outputAhead)) {
    setHost(LWIPHelpers::ipAddrToString(pcb->local_ip));
    setPort(pcb->local_port);
    setLocalHost(LWIPHelpers::ipAddrToString(pcb->remote_ip));
    setLocalPort(pcb->remote_port);
}

std::shared_ptr<TCPSocket> TCPSocket::make(tcp_pcb* pcb, std::shared_ptr<DispatchQueue> queue) {
    auto socket = makeSocket<TCPSocket>(pcb, std::move(queue));
    socket->attach();
    return socket;
}

TCPSocket::~TCPSocket() {
    if (!isClosed())
        fatalError("Socket deinit while not closed: " + description());
}

std::string TCPSocket::description() const {
    return "TCPSocket#" + std::to_string(globalIndex()) + " " + localHost().value_or("?") + ":" +
           std::to_string(localPort().value_or(0)) + " -> " + host().value_or("?") + ":" +
           std::to_string(port().value_or(0));
}

void TCPSocket::attach() {
    auto self = selfAs(this);
    outputBuffer_->setDestination(std::weak_ptr<SynchronousOutputBufferDestination>(self));
    std::weak_ptr<TCPSocket> weak = self;
    socketInputStream_->setSocket(std::weak_ptr<SocketStreamProtocol>(self));
    socketOutputStream_->setSocket(std::weak_ptr<SocketStreamProtocol>(self));
    inputPipe_->handler([weak](InputStreamEvent event, InputStreamReply reply) {
        auto self = weak.lock();
        if (!self) {
            LOG_WARNING("TCPSocket.inputPipe event fired but TCPSocket is gone");
            return;
        }
        if (event.isData()) {
            self->socketInputStream_->socketDidRead(event.takeData());
            reply(InputStreamHandlerResult::more);
            return;
        }
        self->socketInputStream_->close(event.error());
        reply(InputStreamHandlerResult::done);
    });
    pcbReference_ = self;
    tcp_arg(pcb_, this);
    tcp_recv(pcb_, &TCPSocket::onReceive);
    tcp_sent(pcb_, &TCPSocket::onSent);
    tcp_err(pcb_, &TCPSocket::onError);
    tcp_poll(pcb_, &TCPSocket::onPoll, 2); // every second: the stack's slow timer ticks twice a second
}

// MARK: reading

void TCPSocket::read(std::optional<std::uint64_t> maxLength, double) {
    inputPipe_->read(maxLength);
}

void TCPSocket::readTo(std::uint64_t length, double) {
    inputPipe_->readTo(length);
}

void TCPSocket::readTo(const Data& marker, std::uint64_t maxLength, double) {
    inputPipe_->readTo(marker, maxLength);
}

void TCPSocket::acknowledge() {
    if (pcbDeallocated_)
        return;
    while (pendingAck_ > 0) {
        auto count = static_cast<u16_t>(std::min<std::int64_t>(pendingAck_, 0xffff));
        tcp_recved(pcb_, count);
        pendingAck_ -= count;
    }
}

err_t TCPSocket::onReceive(void* arg, tcp_pcb*, pbuf* chain, err_t err) {
    if (!arg) {
        if (chain)
            pbuf_free(chain);
        return ERR_OK;
    }
    CallbackScope socket(*static_cast<TCPSocket*>(arg));
    if (err != ERR_OK) {
        if (chain) {
            LOG_ERROR("Unexpected pbuf in tcp_recv with error");
            pbuf_free(chain);
        }
        return socket.result();
    }
    if (!chain) {
        // The app ended its side: its bytes still in the pipe are read before the end.
        socket->appEnded_ = true;
        socket->afterSendNotices([weak = std::weak_ptr<TCPSocket>(socket->selfAs(&*socket))] {
            if (auto self = weak.lock())
                self->inputPipe_->appendEOF();
        });
        if (socket->shutdownSent_)
            socket->tryDisconnect(nullptr);
        return socket.result();
    }
    Data bytes(chain->tot_len);
    pbuf_copy_partial(chain, bytes.data(), chain->tot_len, 0);
    socket->pendingAck_ += chain->tot_len;
    pbuf_free(chain);
    auto self = socket->selfAs(&*socket);
    socket->inputPipe_->write(std::move(bytes), false, [self](OutputStreamWriteHandlerResult result) {
        if (result.isWait())
            return;
        self->acknowledge();
        if (result.isError() && self->markClosed())
            self->runCloseSequence(result.error(), nullptr);
    });
    return socket.result();
}

bool TCPSocket::peerHasLeft(bool unreadKeepsIt, bool unreadAbove) {
    if (isClosed() || pcbDeallocated_)
        return true;
    return appEnded_ && (!unreadKeepsIt || (!unreadAbove && inputPipe_->buffered() == 0));
}

void TCPSocket::resetConnection() {
    if (isClosed() || pcbDeallocated_)
        return;
    auto self = selfAs(this); // the pcb's reference goes
    tryDisconnect(makeError<SocketError>(SocketError::connectionReset()));
    close();
}

// MARK: writing

void TCPSocket::write(Data data, bool flush, double) {
    auto drained = outputBuffer_->append(std::move(data), flush);
    if (!drained.isSuccess())
        drained.error()->raise();
    waitForStackMemory();
    output();
}

void TCPSocket::flush() {
    outputBuffer_->flush();
}

void TCPSocket::output() {
    // Inside a callback the stack sends once the callback returns.
    if (!pcbDeallocated_ && callbackDepth_ == 0)
        tcp_output(pcb_);
}

std::int64_t TCPSocket::availableSpace() const {
    // No more is queued in the stack than the app's window takes, and while the stack's
    // memory is short, or other connections wait for it, only a new connection's share: the
    // output buffer holds the rest, its writer (the copier reading from a server) waits, and
    // the connection goes on once the app reads (a window update) or in its turn once
    // acknowledgements have freed memory.
    if (pcbDeallocated_)
        return 0;
    return static_cast<std::int64_t>(lwipmem_output_room(pcb_, written_ < lwipmem_newcomer_bytes));
}

void TCPSocket::waitForStackMemory() {
    if (waitingForMemory_ || pcbDeallocated_ || outputBuffer_->sendQueue().empty() || lwipmem_output_open())
        return;
    waitingForMemory_ = true;
    std::weak_ptr<TCPSocket> weak = selfAs(this);
    lwipmem_wait_for_room([weak] {
        auto self = weak.lock();
        if (!self)
            return;
        self->waitingForMemory_ = false;
        if (self->pcbDeallocated_)
            return;
        self->feedStack();
        self->output();
    });
}

Result<std::int64_t> TCPSocket::write(const Data& data, std::size_t offset, std::size_t count,
                                      bool moreFollows, bool flush) {
    if (pcbDeallocated_)
        return Result<std::int64_t>::failure(makeError<SocketError>(SocketError::socketClosed()));
    if (count > 0xffff)
        fatalError("TCPSocket.write: length out of range");
    u8_t flags = TCP_WRITE_FLAG_COPY | (moreFollows && !flush ? TCP_WRITE_FLAG_MORE : 0);
    auto length = static_cast<u16_t>(count);
    for (;;) {
        auto result = tcp_write(pcb_, data.data() + offset, length, flags);
        if (result == ERR_OK) {
            written_ += length;
            return Result<std::int64_t>::success(length);
        }
        if (result != ERR_MEM)
            return Result<std::int64_t>::failure(TCPSocketError::translate(result));
        // The segment queue is full: try a smaller piece.
        if (length < 2)
            return Result<std::int64_t>::success(0);
        length = static_cast<u16_t>(length / 2);
    }
}

void TCPSocket::sent(std::int64_t count) {
    // Inside a stack callback a released writer would write and maybe close right here,
    // under the stack's feet: it hears later.
    if (callbackDepth_ > 0) {
        ++sendNotices_;
        queue_->async([weak = std::weak_ptr<TCPSocket>(selfAs(this)), stream = socketOutputStream_, count] {
            if (auto self = weak.lock())
                --self->sendNotices_;
            stream->didSend(count);
        });
    } else {
        socketOutputStream_->didSend(count);
    }
}

// The app's end can come in the same batch of packets as the acknowledgements that let our
// last bytes into the stack, before the writer has heard of them (an app that reads its last
// bytes and goes at once): the end waits behind those notices, so that a writer whose bytes
// all left is not told that the connection ended first.
void TCPSocket::afterSendNotices(std::function<void()> step) {
    if (sendNotices_ == 0)
        step();
    else
        queue_->async(std::move(step));
}

// Also called with nothing acknowledged when the app's window opens.
err_t TCPSocket::onSent(void* arg, tcp_pcb*, u16_t) {
    if (!arg)
        return ERR_OK;
    CallbackScope socket(*static_cast<TCPSocket*>(arg));
    socket->feedStack();
    return socket.result();
}

// A write the stack refused for want of memory, with nothing of this connection in flight,
// would wait for a sent callback that never comes: the poll retries it.
err_t TCPSocket::onPoll(void* arg, tcp_pcb*) {
    if (!arg)
        return ERR_OK;
    CallbackScope socket(*static_cast<TCPSocket*>(arg));
    if (socket->outputBuffer_->sendQueue().empty()) {
        socket->closedWindowPolls_ = 0;
        return ERR_OK;
    }
    socket->feedStack();
    socket->probeClosedWindow();
    return socket.result();
}

// With the app's window closed and nothing of ours queued in the stack, the stack has nothing
// to probe the window with, and a lost window update would leave the output waiting for good:
// a keep-alive makes the app answer with its window, after 1, 2, 4 … 64 s, then every 64 s.
void TCPSocket::probeClosedWindow() {
    if (pcbDeallocated_ || outputBuffer_->sendQueue().empty() || pcb_->snd_wnd > 0 ||
        pcb_->snd_lbb != pcb_->lastack) {
        closedWindowPolls_ = 0;
        return;
    }
    auto polls = ++closedWindowPolls_;
    if (polls % 64 == 0 || (polls < 64 && (polls & (polls - 1)) == 0))
        tcp_keepalive(pcb_);
}

void TCPSocket::feedStack() {
    auto drained = outputBuffer_->drain();
    if (!drained.isSuccess()) {
        socketError_ = drained.error();
        abortPcb(); // the error callback closes the socket with the stored error
        return;
    }
    if (disconnectAfterWriting_ && drained.value())
        tryDisconnect(nullptr);
    else
        finishShutdown();
    waitForStackMemory();
}

void TCPSocket::outputStreamDidClose(const MyOutputStream& stream, ErrorPtr error,
                                     CloseCompletion completion) {
    if (!error && !isClosed() && !socketInputStream_->isClosed()) {
        shutdownPending_ = true;
        finishShutdown();
    }
    AbstractSocket::outputStreamDidClose(stream, std::move(error), std::move(completion));
}

void TCPSocket::finishShutdown() {
    if (!shutdownPending_ || shutdownSent_ || pcbDeallocated_ || !outputBuffer_->sendQueue().empty())
        return;
    shutdownSent_ = true;
    if (appEnded_) { // both sides have ended: the connection is done with
        tryDisconnect(nullptr);
        return;
    }
    auto result = tcp_shutdown(pcb_, 0, 1);
    if (result != ERR_OK)
        LOG_ERROR("Failed to shut down PCB: {}", TCPSocketError::errorCode(result).description());
}

// MARK: ends

void TCPSocket::onError(void* arg, err_t err) {
    if (!arg)
        return;
    auto& socket = *static_cast<TCPSocket*>(arg);
    auto self = std::move(socket.pcbReference_);
    socket.pcbDeallocated_ = true;
    auto error = socket.socketError_ ? socket.socketError_ : TCPSocketError::translate(err);
    socket.releaseStackMemorySoon();
    // Closed at once (a socket let go meanwhile is not released open); its streams hear of
    // the end in order.
    if (socket.markClosed())
        socket.afterSendNotices([self, error] { self->runCloseSequence(error, nullptr); });
}

void TCPSocket::closeImpl(ErrorPtr error, CloseCompletion completion) {
    auto self = selfAs(this);
    auto closeInput = [self, completion](ErrorPtr error) {
        self->socketInputStream_->close(error, [completion, error](ErrorPtr) { completion(error); });
    };
    if (inputPipe_->isClosed())
        closeInput(std::move(error));
    else
        inputPipe_->close(error, [closeInput, error](ErrorPtr) { closeInput(error); });
}

void TCPSocket::finalCloseStep(ErrorPtr error, CloseCompletion completion) {
    tryDisconnect(error);
    if (completion)
        completion(std::move(error));
}

void TCPSocket::detach() {
    tcp_arg(pcb_, nullptr);
    tcp_recv(pcb_, nullptr);
    tcp_sent(pcb_, nullptr);
    tcp_err(pcb_, nullptr);
    tcp_poll(pcb_, nullptr, 0);
    pcbDeallocated_ = true;
}

void TCPSocket::abortPcb() {
    aborted_ = true;
    pcbDeallocated_ = true;
    tcp_abort(pcb_);
    releaseStackMemorySoon();
}

void TCPSocket::releaseStackMemorySoon() {
    // An aborted connection's queued output is freed here, not by device input: the
    // connections waiting for memory hear of it from the queue's next turn.
    lwipmem_release_soon(
        [queue = queue_](std::function<void()> release) { queue->async(std::move(release)); });
}

bool TCPSocket::tryDisconnect(ErrorPtr error) {
    if (pcbDeallocated_)
        return true;
    if (!error && !outputBuffer_->sendQueue().empty()) {
        disconnectAfterWriting_ = true;
        return false;
    }
    if (!error)
        acknowledge();
    // The caller (a callback scope or the close sequence) still holds the socket.
    auto self = std::move(pcbReference_);
    auto pcb = pcb_;
    detach();
    if (!error) {
        auto result = tcp_close(pcb);
        if (result == ERR_OK)
            return true;
        LOG_ERROR("Failed to close PCB: {}", TCPSocketError::errorCode(result).description());
    }
    aborted_ = true;
    tcp_abort(pcb);
    releaseStackMemorySoon();
    return true;
}

} // namespace pemtrox
