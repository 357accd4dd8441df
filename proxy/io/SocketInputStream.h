#pragma once

#include <memory>

#include "proxy/io/AbstractInputStream.h"
#include "proxy/io/SocketStreamProtocol.h"

namespace pemtrox {

/// What a socket asks of its input stream: the back reference and the hand-over of bytes.
class SocketInputStreamProtocol {
public:
    virtual ~SocketInputStreamProtocol() = default;
    virtual std::shared_ptr<SocketStreamProtocol> socket() const = 0;
    virtual void setSocket(std::weak_ptr<SocketStreamProtocol> socket) = 0;
    /// Bytes that one read request of this stream brought.
    virtual void socketDidRead(Data data) = 0;
};

/// The input stream of a socket that reads by itself: each read request becomes one read of
/// the socket, whose bytes come back through socketDidRead. Used on the socket's queue.
/// The socket is held weakly; without it (or once closed) reads are answered with eof.
class SocketInputStream : public AbstractInputStream, public SocketInputStreamProtocol {
public:
    static std::shared_ptr<SocketInputStream> make(double timeout);
    explicit SocketInputStream(double timeout) : timeout_(timeout) {}

    std::shared_ptr<SocketStreamProtocol> socket() const override { return socket_.lock(); }
    void setSocket(std::weak_ptr<SocketStreamProtocol> socket) override { socket_ = std::move(socket); }
    /// Delivers the bytes to the handler (dropped when there is none).
    void socketDidRead(Data data) override;
    /// Seconds handed to every read of the socket; negative for none.
    double timeout() const { return timeout_; }

protected:
    void readAny(std::optional<std::uint64_t> maxLength) override;
    void readLength(std::uint64_t length) override;
    void readMarker(const Data& marker, std::uint64_t maxLength) override;
    /// Tells the handler of the end, then the socket, which closes once both streams are.
    void closeImpl(ErrorPtr error, CloseCompletion completion) override;

private:
    std::shared_ptr<SocketStreamProtocol> openSocket() const;
    std::weak_ptr<SocketStreamProtocol> socket_;
    double timeout_;
};

} // namespace pemtrox
