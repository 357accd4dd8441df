#include "proxy/io/SynchronousBuffer.h"

namespace pemtrox {

SynchronousBuffer::SynchronousBuffer(std::shared_ptr<MyInputStream> inputStream)
    : inputStream_(std::move(inputStream)) {
    buf_.reserve(BufSiz);
}

std::shared_ptr<SynchronousBuffer> SynchronousBuffer::make(std::shared_ptr<MyInputStream> inputStream) {
    auto buffer = Plumber::make<SynchronousBuffer>(std::move(inputStream));
    std::weak_ptr<SynchronousBuffer> weak = buffer;
    buffer->inputStream_->handler([weak](InputStreamEvent event, InputStreamReply reply) {
        auto self = weak.lock();
        if (!self) {
            reply(InputStreamHandlerResult::done);
            return;
        }
        self->onEvent(std::move(event), std::move(reply));
    });
    return buffer;
}

void SynchronousBuffer::onEvent(InputStreamEvent event, InputStreamReply reply) {
    switch (event.kind()) {
    case InputStreamEvent::Kind::data:
        if (buf_.empty())
            buf_ = event.takeData();
        else
            buf_.insert(buf_.end(), event.data().begin(), event.data().end());
        break;
    case InputStreamEvent::Kind::error:
        error_ = event.error();
        break;
    case InputStreamEvent::Kind::eof:
        eof_ = true;
        break;
    }
    if (ready)
        ready(std::move(reply));
}

Result<std::optional<Data>> SynchronousBuffer::read(std::optional<std::size_t> maxLength) {
    using R = Result<std::optional<Data>>;
    if (!buf_.empty()) {
        Data taken;
        if (!maxLength || buf_.size() <= *maxLength) {
            taken = std::move(buf_);
            buf_ = Data();
            buf_.reserve(BufSiz);
        } else {
            taken.assign(buf_.begin(), buf_.begin() + *maxLength);
            buf_.erase(buf_.begin(), buf_.begin() + *maxLength);
        }
        if (buf_.size() < BufSiz && !eof_ && !error_)
            inputStream_->read(BufSiz - buf_.size());
        return R::success(std::move(taken));
    }
    if (error_)
        return R::failure(error_);
    if (eof_)
        return R::success(std::nullopt);
    inputStream_->read(maxLength && *maxLength > BufSiz ? *maxLength : BufSiz);
    return R::success(Data());
}

void SynchronousBuffer::fill() {
    if (buf_.empty()) {
        inputStream_->read(BufSiz);
        return;
    }
    if (!ready)
        return;
    ready([stream = inputStream_](InputStreamHandlerResult result) {
        if (result == InputStreamHandlerResult::done)
            stream->removeHandler();
    });
}

} // namespace pemtrox
