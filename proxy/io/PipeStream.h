#pragma once

#include <cstdint>
#include <deque>
#include <memory>

#include "platform/DispatchQueue.h"
#include "proxy/io/AbstractInputStream.h"
#include "proxy/io/MyOutputStream.h"

namespace pemtrox {

/// An in-memory pipe: a producer writes bytes in as an output stream, a reader pulls them
/// out as an input stream. Read requests wait in arrival order until bytes (or the end)
/// can answer them.
///
/// Contract (beyond MyInputStream / MyOutputStream):
/// - Every call is made on `queue`. Reads are always answered later, from `queue`, never
///   inside the read call; write, appendError, appendEOF and close run synchronously.
/// - Back-pressure: a write that leaves 4096 or more bytes buffered has its completion held
///   back until a read brings the buffer below 4096 (`ready`), a newer write arrives
///   (`wait`), or the pipe closes (`error`). While the oldest read waits for more bytes
///   than that (a long line, a long exact length), the limit rises to what it needs, so
///   reader and writer cannot wait on each other.
/// - The end (eof or the producer's error) is delivered after the buffered bytes. Once an
///   error has been delivered, every later read is answered with the same error.
class PipeStream : public AbstractInputStream, public MyOutputStream {
public:
    static constexpr std::int64_t MaxBuffered = 4096;

    static std::shared_ptr<PipeStream> make(std::shared_ptr<DispatchQueue> queue);
    explicit PipeStream(std::shared_ptr<DispatchQueue> queue) : queue_(std::move(queue)) {}

    void write(Data data, bool flush, OutputStreamWriteCompletion completion) override;
    /// Nothing to push out: the bytes are already there for the reader.
    void flush() override {}
    bool isClosed() const override { return AbstractInputStream::isClosed(); }
    void close(ErrorPtr error = nullptr, CloseCompletion completion = nullptr) override {
        AbstractInputStream::close(std::move(error), std::move(completion));
    }

    /// The producer failed: the error is delivered after the buffered bytes, and the pipe
    /// closes. A later call replaces an error not yet delivered. Ignored once closed.
    void appendError(ErrorPtr error);
    /// The producer is done: eof after the buffered bytes. Ignored once closed.
    void appendEOF();

    /// The pipe's queue (null once it is gone).
    std::shared_ptr<DispatchQueue> queue() const { return queue_.lock(); }
    /// Bytes written and not yet delivered.
    std::size_t buffered() const { return buf_.size() - head_; }
    bool hasPendingWriteCompletion() const { return pendingWriteCompletion_ != nullptr; }

protected:
    void readAny(std::optional<std::uint64_t> maxLength) override;
    void readLength(std::uint64_t length) override;
    void readMarker(const Data& marker, std::uint64_t maxLength) override;
    void closeImpl(ErrorPtr error, CloseCompletion completion) override;
    void deliverEnd(ErrorPtr error, CloseCompletion completion) override;

private:
    struct Waiting {
        enum class Kind { any, length, marker } kind;
        std::uint64_t length = 0; // any: the limit (0 = none); length: n; marker: the maximum
        bool hasLimit = false;
        Data marker;
        std::size_t scanned = 0; // marker: buffered bytes already searched without a match
    };

    void enqueue(Waiting waiting);
    void schedule();
    bool serve();
    void scheduleLater();
    /// The buffer size at which the writer is held back.
    std::size_t writerLimit() const;
    Data take(std::size_t count);
    void deliverChunk(std::size_t count);
    /// Removes the oldest request and ends the pipe with the pending error.
    void endWithPendingError();
    void failOldest(ErrorPtr error);
    void releaseWriter(OutputStreamWriteHandlerResult result);

    // Held weakly: answers waiting on the queue hold the pipe, so a strong reference back
    // would keep a stopped queue and its pipes alive for ever. The queue's owner keeps it.
    std::weak_ptr<DispatchQueue> queue_;
    // Bytes from head_ to the end are buffered; the front is dropped lazily to avoid moving
    // the tail on every small read.
    Data buf_;
    std::size_t head_ = 0;
    bool pendingEOF_ = false;
    ErrorPtr pendingError_;
    ErrorPtr deliveredError_;
    std::deque<Waiting> waitingQueue_;
    OutputStreamWriteCompletion pendingWriteCompletion_;
};

} // namespace pemtrox
