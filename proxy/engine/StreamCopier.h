#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/Error.h"
#include "proxy/io/Data.h"
#include "proxy/io/ISO8601.h"
#include "proxy/io/MyInputStream.h"
#include "proxy/io/Plumber.h"

namespace pemtrox {

class InternalProxyServer;
class MyOutputStream;
class ProxyEvent;

enum class StreamCopierStatus { started, finished };

/// Copies one input stream into one output stream until the input ends, one piece in
/// flight at a time: the next piece is read only when the previous one was written.
/// A piece counts as copied once its write succeeded; the first failed write ends the
/// copy with that write's error. Neither stream is closed: their owner closes them.
///
/// A copier given a direction and an exchange record also counts each piece written into
/// the record (requestSize or responseSize) and reports it to the server's listeners as
/// request or response body, so that recording sees tunnel traffic; once the server is
/// gone it only counts.
///
/// A copier with an exchange record (directed, or given one with setPausedBy) reads the next
/// piece only while that exchange is not paused (a listener that falls behind pauses it; see
/// ExchangePause): the one place where copying waits for a listener.
///
/// Runs on the streams' queue, and so does every call. The owner keeps the copier alive while
/// it runs (the input handler holds it weakly).
class StreamCopier : public PlumberTracked, public std::enable_shared_from_this<StreamCopier> {
public:
    using Completion = std::function<void(StreamCopierStatus)>;
    /// Client to server (request) or server to client (response).
    enum class Direction { request, response };

    static std::shared_ptr<StreamCopier> make(std::shared_ptr<MyInputStream> from,
                                              std::shared_ptr<MyOutputStream> to);
    /// A copier that counts into the record and reports to the server (held weakly).
    static std::shared_ptr<StreamCopier> make(std::shared_ptr<MyInputStream> from,
                                              std::shared_ptr<MyOutputStream> to, Direction direction,
                                              const std::shared_ptr<InternalProxyServer>& server,
                                              std::shared_ptr<ProxyEvent> evt);
    StreamCopier(std::shared_ptr<MyInputStream> from, std::shared_ptr<MyOutputStream> to);
    ~StreamCopier() override;

    /// Starts copying. The completion gets `started` with the first piece and `finished`
    /// when the copy ends (only `finished` when the input ends before any data). Once.
    void start(Completion completion);
    /// The most bytes one read of the input asks for; unset (the default): the stream's own
    /// piece size. Before start.
    void setReadLength(std::optional<std::uint64_t> length) { readLength_ = length; }
    /// Reads only while this exchange is not paused (a directed copier: its own). Before start.
    void setPausedBy(std::shared_ptr<ProxyEvent> evt) { pausedBy_ = std::move(evt); }
    /// Called with each piece read, before it is written. Before start.
    void setBeforeWrite(std::function<void(const Data&)> hook) { beforeWrite_ = std::move(hook); }
    /// Whether each piece is written with a flush and `to` is flushed at the end (the
    /// default); without, the pieces leave with the socket's turn and the owner flushes.
    /// Before start.
    void setFlushing(bool flushing) { flushing_ = flushing; }
    /// Which input errors end the copy like the end of the input; the default: a closed
    /// socket. Before start.
    void setEndsCleanly(std::function<bool(const ErrorPtr&)> endsCleanly) {
        endsCleanly_ = std::move(endsCleanly);
    }
    /// Asks the copier to stop after the piece in flight.
    void stop() { copying_ = false; }

    bool copying() const { return copying_; }
    bool finished() const { return finished_; }
    /// The error that ended the copy: an input error other than one that ends it cleanly, or
    /// the first write error; null after a clean end.
    const ErrorPtr& error() const { return error_; }
    /// Bytes written successfully.
    std::int64_t total() const { return total_; }
    std::optional<Date> streamStartTime() const { return streamStartTime_; }
    std::optional<Date> streamLastTime() const { return streamLastTime_; }

    const std::shared_ptr<MyInputStream>& from() const { return from_; }
    const std::shared_ptr<MyOutputStream>& to() const { return to_; }
    /// The record a directed copier counts into; null otherwise.
    const std::shared_ptr<ProxyEvent>& evt() const { return evt_; }

private:
    /// After each successful write: counts the piece into the record and reports it. The
    /// piece is only kept (copied before the write) while someone can be told of it; else
    /// it is empty and only the size counts.
    void chunkCopied(const Data& piece, std::int64_t size);
    bool wantsPieces() const { return evt_ && !server_.expired(); }

    void onData(Data piece, InputStreamReply reply);
    /// Asks the source for the next piece, once the exchange is not paused.
    void readNext();
    void end(ErrorPtr error, bool flush);
    /// The source ended (error none for a clean end); while a piece is still being written
    /// the end waits for that write, so the copy's size and last time count the piece.
    void sourceEnded(ErrorPtr error);

    std::shared_ptr<MyInputStream> from_;
    std::shared_ptr<MyOutputStream> to_;
    Completion completion_;
    std::int64_t total_ = 0;
    bool writing_ = false;
    std::optional<ErrorPtr> endAfterWrite_;
    bool copying_ = false;
    bool finished_ = true;
    bool flushing_ = true;
    ErrorPtr error_;
    std::optional<Date> streamStartTime_;
    std::optional<Date> streamLastTime_;
    Direction direction_ = Direction::request;
    std::optional<std::uint64_t> readLength_;
    std::weak_ptr<InternalProxyServer> server_;
    std::shared_ptr<ProxyEvent> evt_;
    std::shared_ptr<ProxyEvent> pausedBy_;
    std::function<void(const Data&)> beforeWrite_;
    std::function<bool(const ErrorPtr&)> endsCleanly_;
};

} // namespace pemtrox
