#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "proxy/io/MyInputStream.h"
#include "proxy/io/Plumber.h"
#include "proxy/io/Result.h"

namespace pemtrox {

/// Holds the bytes of a callback input stream for a party that pulls its input with a
/// synchronous read. Used on the stream's queue only.
///
/// Contract: the buffer installs its own handler on the stream when made, holding itself
/// weakly. Each event is recorded, then handed to `ready` with the stream's reply as the
/// continuation; the owner calls the continuation exactly once (`more` or `done`). With no
/// `ready` set, events are only recorded and not replied to.
class SynchronousBuffer : public PlumberTracked, public std::enable_shared_from_this<SynchronousBuffer> {
public:
    static constexpr std::size_t BufSiz = 4096;
    using Continuation = InputStreamReply;
    using ReadyCallback = std::function<void(Continuation continuation)>;

    static std::shared_ptr<SynchronousBuffer> make(std::shared_ptr<MyInputStream> inputStream);
    explicit SynchronousBuffer(std::shared_ptr<MyInputStream> inputStream);

    /// Runs the owner's next step; set by the owner.
    ReadyCallback ready;

    /// Bytes received (all, or the first maxLength), an empty block when nothing has
    /// arrived yet (a read is then asked for), absent after the end, or the stream's error
    /// (for this and every later read once the bytes are gone).
    Result<std::optional<Data>> read(std::optional<std::size_t> maxLength = std::nullopt);
    /// Starts or resumes delivery: asks the stream for bytes when none are held, else hands
    /// the owner a step (`done` from it removes the buffer's handler from the stream).
    void fill();

    const std::shared_ptr<MyInputStream>& inputStream() const { return inputStream_; }
    std::size_t buffered() const { return buf_.size(); }
    bool eof() const { return eof_; }
    const ErrorPtr& error() const { return error_; }

private:
    void onEvent(InputStreamEvent event, InputStreamReply reply);

    std::shared_ptr<MyInputStream> inputStream_;
    Data buf_;
    bool eof_ = false;
    ErrorPtr error_;
};

} // namespace pemtrox
