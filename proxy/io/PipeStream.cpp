#include "proxy/io/PipeStream.h"

#include <algorithm>

#include "platform/MarkerScan.h"
#include "proxy/io/InputStreamError.h"
#include "proxy/io/OutputStreamError.h"
#include "proxy/io/Plumber.h"

namespace pemtrox {

std::shared_ptr<PipeStream> PipeStream::make(std::shared_ptr<DispatchQueue> queue) {
    return Plumber::make<PipeStream>(std::move(queue));
}

void PipeStream::write(Data data, bool, OutputStreamWriteCompletion completion) {
    auto self = selfAs<PipeStream>();
    if (pendingWriteCompletion_)
        releaseWriter(OutputStreamWriteHandlerResult::wait());
    if (isClosed()) {
        if (completion)
            completion(OutputStreamWriteHandlerResult::error(OutputStreamError::closed().clone()));
        return;
    }
    if (buffered() == 0) {
        buf_ = std::move(data);
        head_ = 0;
    } else {
        buf_.insert(buf_.end(), data.begin(), data.end());
    }
    schedule();
    if (buffered() >= writerLimit())
        pendingWriteCompletion_ = std::move(completion);
    else if (completion)
        completion(OutputStreamWriteHandlerResult::ready());
}

void PipeStream::appendError(ErrorPtr error) {
    if (isClosed())
        return;
    auto self = selfAs<PipeStream>();
    pendingError_ = std::move(error);
    schedule();
}

void PipeStream::appendEOF() {
    if (isClosed())
        return;
    auto self = selfAs<PipeStream>();
    pendingEOF_ = true;
    schedule();
}

void PipeStream::readAny(std::optional<std::uint64_t> maxLength) {
    enqueue({Waiting::Kind::any, maxLength.value_or(0), maxLength.has_value(), {}, 0});
}

void PipeStream::readLength(std::uint64_t length) {
    enqueue({Waiting::Kind::length, length, true, {}, 0});
}

void PipeStream::readMarker(const Data& marker, std::uint64_t maxLength) {
    enqueue({Waiting::Kind::marker, maxLength, true, marker, 0});
}

void PipeStream::enqueue(Waiting waiting) {
    waitingQueue_.push_back(std::move(waiting));
    scheduleLater();
}

void PipeStream::scheduleLater() {
    if (auto queue = queue_.lock())
        queue->async([self = selfAs<PipeStream>()] { self->schedule(); });
}

void PipeStream::schedule() {
    auto self = selfAs<PipeStream>();
    while (serve()) {
    }
    if (pendingWriteCompletion_ && buffered() < writerLimit())
        releaseWriter(OutputStreamWriteHandlerResult::ready());
}

std::size_t PipeStream::writerLimit() const {
    std::size_t limit = MaxBuffered;
    if (!waitingQueue_.empty()) {
        const auto& oldest = waitingQueue_.front();
        if (oldest.kind != Waiting::Kind::any && oldest.length > limit)
            limit = oldest.length;
    }
    return limit;
}

void PipeStream::releaseWriter(OutputStreamWriteHandlerResult result) {
    auto completion = std::move(pendingWriteCompletion_);
    pendingWriteCompletion_ = nullptr;
    if (completion)
        completion(std::move(result));
}

Data PipeStream::take(std::size_t count) {
    std::size_t available = buffered();
    if (count >= available) {
        Data out;
        if (head_ == 0)
            out = std::move(buf_);
        else
            out.assign(buf_.begin() + head_, buf_.end());
        buf_ = Data();
        head_ = 0;
        return out;
    }
    Data out(buf_.begin() + head_, buf_.begin() + head_ + count);
    head_ += count;
    if (head_ >= static_cast<std::size_t>(MaxBuffered) && head_ * 2 >= buf_.size()) {
        buf_.erase(buf_.begin(), buf_.begin() + head_);
        head_ = 0;
    }
    return out;
}

void PipeStream::deliverChunk(std::size_t count) {
    waitingQueue_.pop_front();
    deliver(InputStreamEvent::data(take(count)));
}

void PipeStream::failOldest(ErrorPtr error) {
    waitingQueue_.pop_front();
    deliver(InputStreamEvent::error(std::move(error)));
}

void PipeStream::endWithPendingError() {
    waitingQueue_.pop_front();
    auto error = std::move(pendingError_);
    pendingError_ = nullptr;
    deliveredError_ = error;
    pendingEOF_ = true;
    if (!isClosed()) {
        setClosed();
        if (pendingWriteCompletion_)
            releaseWriter(OutputStreamWriteHandlerResult::error(error));
    }
    deliver(InputStreamEvent::error(std::move(error)));
}

bool PipeStream::serve() {
    if (waitingQueue_.empty())
        return false;
    auto& oldest = waitingQueue_.front();
    std::size_t size = buffered();
    // A reader that was told of an error is told it again rather than left waiting.
    if (deliveredError_ && size == 0) {
        failOldest(deliveredError_);
        return true;
    }
    bool ending = pendingEOF_ || pendingError_;
    switch (oldest.kind) {
    case Waiting::Kind::any: {
        std::size_t want = oldest.hasLimit ? oldest.length : MaxRead;
        if (size > 0) {
            deliverChunk(std::min(size, want));
            return true;
        }
        break;
    }
    case Waiting::Kind::length:
        if (size >= oldest.length || (size > 0 && ending)) {
            deliverChunk(std::min<std::uint64_t>(size, oldest.length));
            return true;
        }
        break;
    case Waiting::Kind::marker: {
        if (size > 0) {
            auto scan = MarkerScan::scan({buf_.data() + head_, size}, oldest.marker,
                                         static_cast<std::size_t>(oldest.length), oldest.scanned);
            if (scan.found()) {
                deliverChunk(scan.end);
                return true;
            }
            if (scan.outcome == MarkerScan::Outcome::tooLong) {
                failOldest(InputStreamError::markerLimitExceeded().clone());
                return true;
            }
            oldest.scanned = size;
            if (ending) {
                deliverChunk(size);
                return true;
            }
        }
        break;
    }
    }
    // Nothing buffered that answers the request: the end, if it has come.
    if (size == 0 && pendingError_) {
        endWithPendingError();
        return true;
    }
    if (size == 0 && pendingEOF_) {
        waitingQueue_.pop_front();
        deliver(InputStreamEvent::eof());
        return true;
    }
    return false;
}

void PipeStream::closeImpl(ErrorPtr error, CloseCompletion completion) {
    auto self = selfAs<PipeStream>();
    pendingEOF_ = true;
    ErrorPtr endError = error ? error : pendingError_;
    // The producer must not wait for a drain that can no longer come.
    if (pendingWriteCompletion_)
        releaseWriter(
            OutputStreamWriteHandlerResult::error(endError ? endError : OutputStreamError::closed().clone()));
    if (buffered() > 0) {
        if (!waitingQueue_.empty())
            scheduleLater();
        // The end follows the buffered bytes, carrying the close error.
        if (endError)
            pendingError_ = endError;
        if (completion)
            completion(std::move(error));
        return;
    }
    pendingError_ = nullptr;
    if (endError)
        deliveredError_ = endError;
    // The end answers the oldest waiting read; the later ones are answered from the queue.
    if (!waitingQueue_.empty()) {
        waitingQueue_.pop_front();
        if (!waitingQueue_.empty())
            scheduleLater();
    }
    AbstractInputStream::deliverEnd(std::move(endError), std::move(completion));
}

void PipeStream::deliverEnd(ErrorPtr error, CloseCompletion completion) {
    if (buffered() > 0) {
        if (completion)
            completion(std::move(error));
        return;
    }
    AbstractInputStream::deliverEnd(std::move(error), std::move(completion));
}

} // namespace pemtrox
