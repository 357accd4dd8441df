#pragma once

#include <cstdint>
#include <memory>

#include "proxy/io/AbstractOutputStream.h"
#include "proxy/io/SocketStreamProtocol.h"

namespace pemtrox {

/// What a socket asks of its output stream: the back reference.
class SocketOutputStreamProtocol {
public:
    virtual ~SocketOutputStreamProtocol() = default;
    virtual std::shared_ptr<SocketStreamProtocol> socket() const = 0;
    virtual void setSocket(std::weak_ptr<SocketStreamProtocol> socket) = 0;
};

/// The output stream of a socket that writes by itself: each block goes to the socket's
/// write at once; the writer is held back while a limit of bytes (4096 unless the socket
/// says otherwise) or more are handed on and not yet reported sent. Used on the socket's
/// queue.
///
/// Completions: `ready` at once below the limit, else parked until didSend brings the count
/// below the limit (`ready`), a newer write arrives (`wait`) or the stream closes (`ready`, or
/// `error` with the close error). A write on a closed stream, or whose socket is gone,
/// gets OutputStreamError.closed; one the socket refuses gets the socket's error.
class SocketOutputStream : public AbstractOutputStream, public SocketOutputStreamProtocol {
public:
    static constexpr std::int64_t MaxBuffered = 4096;

    static std::shared_ptr<SocketOutputStream> make(double timeout, std::int64_t maxBuffered = MaxBuffered);
    explicit SocketOutputStream(double timeout, std::int64_t maxBuffered = MaxBuffered)
        : timeout_(timeout), maxBuffered_(maxBuffered) {}

    std::shared_ptr<SocketStreamProtocol> socket() const override { return socket_.lock(); }
    void setSocket(std::weak_ptr<SocketStreamProtocol> socket) override { socket_ = std::move(socket); }

    void write(Data data, bool flush, OutputStreamWriteCompletion completion) override;
    /// The socket's flush; nothing when the socket is gone.
    void flush() override;

    /// The socket side of back-pressure: `count` bytes of this stream have left the socket.
    void didSend(std::int64_t count);

    double timeout() const { return timeout_; }
    std::int64_t buffered() const { return buffered_; }
    bool hasPendingWriteCompletion() const { return pendingWriteCompletion_ != nullptr; }

protected:
    void closeImpl(ErrorPtr error, CloseCompletion completion) override;

private:
    void releasePending(OutputStreamWriteHandlerResult result);
    double timeout_;
    std::int64_t maxBuffered_;
    std::weak_ptr<SocketStreamProtocol> socket_;
    std::int64_t buffered_ = 0;
    OutputStreamWriteCompletion pendingWriteCompletion_;
};

} // namespace pemtrox
