#pragma once

#include <cstdint>
#include <optional>

#include "proxy/io/Data.h"
#include "proxy/io/Socket.h"

namespace pemtrox {

/// What the socket input and output streams ask of the socket that owns them.
///
/// Reads are requests: their bytes come back later through the socket's input stream
/// (SocketInputStreamProtocol::socketDidRead), one delivery per request, in request order.
/// A negative time-out means none. Everything runs on the socket's queue.
class SocketStreamProtocol : public virtual Socket {
public:
    /// Reads whatever arrives, at most maxLength bytes (4096 when absent).
    virtual void read(std::optional<std::uint64_t> maxLength, double timeout) = 0;
    /// Reads exactly `length` bytes.
    virtual void readTo(std::uint64_t length, double timeout) = 0;
    /// Reads up to and including the first `marker`, at most `maxLength` bytes in all.
    virtual void readTo(const Data& marker, std::uint64_t maxLength, double timeout) = 0;
    /// Hands bytes to the socket for sending; throws an Error when it cannot take them.
    virtual void write(Data data, bool flush, double timeout) = 0;
    virtual void flush() = 0;
    /// The socket's own input stream has closed; the socket closes when its output stream
    /// is closed as well, else the completion runs with the error.
    virtual void inputStreamDidClose(const MyInputStream& stream, ErrorPtr error,
                                     CloseCompletion completion) = 0;
    /// The same for the output stream.
    virtual void outputStreamDidClose(const MyOutputStream& stream, ErrorPtr error,
                                      CloseCompletion completion) = 0;
};

} // namespace pemtrox
