#include "proxy/engine/StreamCopier.h"

#include <chrono>

#include "platform/Log.h"
#include "proxy/engine/InternalProxyServer.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/io/MyInputStream.h"
#include "proxy/io/MyOutputStream.h"
#include "proxy/io/SocketError.h"

namespace pemtrox {

namespace {

// An input error that only says the socket was closed ends a copy like the end of the stream.
bool isClosedSocket(const ErrorPtr& error) {
    return SocketError::is(error, SocketError::Kind::socketClosed);
}

} // namespace

std::shared_ptr<StreamCopier> StreamCopier::make(std::shared_ptr<MyInputStream> from,
                                                 std::shared_ptr<MyOutputStream> to) {
    return Plumber::make<StreamCopier>(std::move(from), std::move(to));
}

std::shared_ptr<StreamCopier> StreamCopier::make(std::shared_ptr<MyInputStream> from,
                                                 std::shared_ptr<MyOutputStream> to, Direction direction,
                                                 const std::shared_ptr<InternalProxyServer>& server,
                                                 std::shared_ptr<ProxyEvent> evt) {
    auto copier = make(std::move(from), std::move(to));
    copier->direction_ = direction;
    copier->server_ = server;
    copier->pausedBy_ = evt;
    copier->evt_ = std::move(evt);
    return copier;
}

StreamCopier::StreamCopier(std::shared_ptr<MyInputStream> from, std::shared_ptr<MyOutputStream> to)
    : from_(std::move(from)), to_(std::move(to)) {}

StreamCopier::~StreamCopier() = default;

void StreamCopier::chunkCopied(const Data& piece, std::int64_t size) {
    if (!evt_)
        return;
    bool request = direction_ == Direction::request;
    auto& count = request ? evt_->requestSize : evt_->responseSize;
    count = count.value_or(0) + size;
    auto server = server_.lock();
    if (!server || piece.empty())
        return;
    if (request)
        server->notifyReceivingRequestBody(evt_, piece);
    else
        server->notifyReceivingResponseBody(evt_, piece);
}

void StreamCopier::start(Completion completion) {
    completion_ = std::move(completion);
    copying_ = true;
    finished_ = false;
    std::weak_ptr<StreamCopier> weakSelf = shared_from_this();
    from_->handler([weakSelf](InputStreamEvent event, InputStreamReply reply) {
        auto self = weakSelf.lock();
        if (!self) {
            LOG_WARNING("Self went away in StreamCopier");
            reply(InputStreamHandlerResult::done);
            return;
        }
        switch (event.kind()) {
        case InputStreamEvent::Kind::data: {
            self->onData(event.takeData(), std::move(reply));
            return;
        }
        case InputStreamEvent::Kind::error: {
            bool clean =
                self->endsCleanly_ ? self->endsCleanly_(event.error()) : isClosedSocket(event.error());
            self->sourceEnded(clean ? nullptr : event.error());
            reply(InputStreamHandlerResult::done);
            return;
        }
        case InputStreamEvent::Kind::eof:
            self->sourceEnded(nullptr);
            reply(InputStreamHandlerResult::done);
            return;
        }
    });
    readNext();
}

void StreamCopier::readNext() {
    if (!pausedBy_) {
        from_->read(readLength_);
        return;
    }
    // A listener behind on this exchange (a recording writer) holds its source until it has
    // caught up; the queue and the other exchanges go on meanwhile.
    std::weak_ptr<StreamCopier> weak = shared_from_this();
    pausedBy_->pause()->whenRunning([weak] {
        auto self = weak.lock();
        if (!self || self->finished_)
            return;
        if (self->copying_)
            self->from_->read(self->readLength_);
        else
            self->end(nullptr, true);
    });
}

void StreamCopier::onData(Data piece, InputStreamReply reply) {
    if (!streamStartTime_) {
        streamStartTime_ = std::chrono::system_clock::now();
        if (completion_)
            completion_(StreamCopierStatus::started);
    }
    if (beforeWrite_)
        beforeWrite_(piece);
    auto size = static_cast<std::int64_t>(piece.size());
    Data kept = wantsPieces() ? piece : Data();
    auto self = shared_from_this();
    writing_ = true;
    to_->write(std::move(piece), flushing_,
               [self, size, kept = std::move(kept),
                reply = std::move(reply)](OutputStreamWriteHandlerResult result) {
                   self->writing_ = false;
                   if (result.isError()) {
                       self->end(result.error(), false);
                       reply(InputStreamHandlerResult::done);
                       return;
                   }
                   self->total_ += size;
                   self->streamLastTime_ = std::chrono::system_clock::now();
                   self->chunkCopied(kept, size);
                   if (auto ended = std::exchange(self->endAfterWrite_, std::nullopt)) {
                       self->end(std::move(*ended), true);
                       reply(InputStreamHandlerResult::done);
                   } else if (self->copying_) {
                       reply(InputStreamHandlerResult::more);
                       self->readNext();
                   } else {
                       self->end(nullptr, true);
                       reply(InputStreamHandlerResult::done);
                   }
               });
}

void StreamCopier::sourceEnded(ErrorPtr error) {
    // A source that closes (a socket that saw its peer's FIN) can say so while the last
    // piece's write is still waiting for room downstream.
    if (writing_ && !finished_)
        endAfterWrite_ = std::move(error);
    else
        end(std::move(error), true);
}

void StreamCopier::end(ErrorPtr error, bool flush) {
    if (finished_)
        return;
    if (flush && flushing_)
        to_->flush();
    if (error)
        error_ = std::move(error);
    copying_ = false;
    finished_ = true;
    if (auto completion = std::exchange(completion_, nullptr))
        completion(StreamCopierStatus::finished);
}

} // namespace pemtrox
