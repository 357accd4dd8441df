#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "proxy/io/CloseCompletion.h"
#include "proxy/io/Data.h"
#include "proxy/io/InputStreamEvent.h"
#include "proxy/io/InputStreamHandlerResult.h"

namespace pemtrox {

/// The reader's answer to one event. Call it exactly once per event, at once or later.
using InputStreamReply = std::function<void(InputStreamHandlerResult)>;
/// The reader's callback: one event and the reply for it.
using InputStreamHandler = std::function<void(InputStreamEvent event, InputStreamReply reply)>;

/// The callback input stream every byte of the system is read through.
///
/// Contract:
/// - One handler at a time; handler() replaces the earlier one, removeHandler() drops it.
/// - Nothing is delivered without a request: each read()/readTo() is answered with exactly
///   one event (data, error or eof) to the handler installed when the answer is made. With
///   no handler installed, a data answer is consumed and lost.
/// - The handler must call its reply exactly once. A `done` reply removes the handler that
///   got the event, unless another was installed (or it was removed) in between; a `more`
///   reply keeps it. The stream, not the reader, removes the handler on `done`.
/// - Everything runs on the queue that owns the stream (the owning socket's or connection's
///   serial queue). Answers may run inside the read call that asked for them, except
///   for streams that say otherwise (the pipe always answers later, from its queue).
/// - After an error event the reader stops reading; streams answer further requests with
///   the error again or with eof, never with silence.
/// - close() closes once; the completion runs exactly once per call, with the error passed
///   to that call, also when the stream was already closed. A handler installed on a closed
///   stream is told eof at once.
///
/// Streams are held by std::shared_ptr; the reader keeps the stream alive while it waits.
///
/// Captures, for every callback of the stream and socket interfaces (MyOutputStream,
/// Socket, SocketStreamProtocol and their implementations): a one-shot completion (a write
/// or close completion, a reply, a connect callback) holds the object it works on strongly,
/// since it runs exactly once and then lets go; an installed handler or a timer holds it
/// weakly and does nothing once the object is gone, since nothing ends its life for it.
class MyInputStream {
public:
    /// The longest delivery a read up to a marker may make unless the caller says otherwise;
    /// past it the read ends with InputStreamError::markerLimitExceeded.
    static constexpr std::uint64_t DefaultMarkerLimit = 65536;

    virtual ~MyInputStream() = default;

    /// Installs the one handler (replacing any earlier one).
    virtual void handler(InputStreamHandler handler) = 0;
    /// Removes the handler.
    virtual void removeHandler() = 0;
    /// Requests one delivery of any size the stream chooses (at most 4096 bytes).
    void read() { readAny(std::nullopt); }
    /// Requests one delivery of at most maxLength bytes (4096 when absent).
    void read(std::optional<std::uint64_t> maxLength) { readAny(maxLength); }
    /// Requests exactly `length` bytes (fewer only when the stream ends first).
    void readTo(std::uint64_t length) { readLength(length); }
    /// Requests the bytes up to and including the first occurrence of `marker`, at most
    /// `maxLength` bytes in all.
    void readTo(const Data& marker, std::uint64_t maxLength = DefaultMarkerLimit) {
        readMarker(marker, maxLength);
    }
    /// Closes the stream with an optional error, then calls the optional completion.
    virtual void close(ErrorPtr error = nullptr, CloseCompletion completion = nullptr) = 0;
    virtual bool isClosed() const = 0;

protected:
    /// The request operations that implementations provide (distinct names, so overriding
    /// one never hides another).
    virtual void readAny(std::optional<std::uint64_t> maxLength) = 0;
    virtual void readLength(std::uint64_t length) = 0;
    virtual void readMarker(const Data& marker, std::uint64_t maxLength) = 0;
};

} // namespace pemtrox
