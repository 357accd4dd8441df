#include "proxy/io/SocketOutputStream.h"

#include "platform/Log.h"
#include "proxy/io/OutputStreamError.h"

namespace pemtrox {

std::shared_ptr<SocketOutputStream> SocketOutputStream::make(double timeout, std::int64_t maxBuffered) {
    return Plumber::make<SocketOutputStream>(timeout, maxBuffered);
}

void SocketOutputStream::releasePending(OutputStreamWriteHandlerResult result) {
    if (!pendingWriteCompletion_)
        return;
    auto completion = std::move(pendingWriteCompletion_);
    pendingWriteCompletion_ = nullptr;
    completion(std::move(result));
}

void SocketOutputStream::write(Data data, bool flush, OutputStreamWriteCompletion completion) {
    auto self = selfAs<SocketOutputStream>(); // completions may drop the last owner
    if (!completion)
        completion = [](OutputStreamWriteHandlerResult) {};
    if (pendingWriteCompletion_) {
        LOG_VERBOSE("SocketOutputStream.write: pendingWriteCompletion signalling .wait");
        releasePending(OutputStreamWriteHandlerResult::wait());
    }
    auto socket = socket_.lock();
    // A socket that is gone can take nothing: the stream is as good as closed.
    if (isClosed() || !socket) {
        completion(
            OutputStreamWriteHandlerResult::error(makeError<OutputStreamError>(OutputStreamError::closed())));
        return;
    }
    auto count = static_cast<std::int64_t>(data.size());
    buffered_ += count;
    try {
        socket->write(std::move(data), flush, timeout_);
    } catch (...) {
        buffered_ -= count; // refused bytes are not on their way
        completion(OutputStreamWriteHandlerResult::error(currentError()));
        return;
    }
    if (buffered_ >= maxBuffered_) {
        LOG_VERBOSE("SocketOutputStream.write: applying back pressure for buffered {}", buffered_);
        pendingWriteCompletion_ = std::move(completion);
        return;
    }
    completion(OutputStreamWriteHandlerResult::ready());
}

void SocketOutputStream::flush() {
    if (auto socket = socket_.lock())
        socket->flush();
}

void SocketOutputStream::didSend(std::int64_t count) {
    buffered_ -= count;
    if (pendingWriteCompletion_ && buffered_ < maxBuffered_) {
        auto self = selfAs<SocketOutputStream>();
        releasePending(OutputStreamWriteHandlerResult::ready());
    }
}

void SocketOutputStream::closeImpl(ErrorPtr error, CloseCompletion completion) {
    auto self = selfAs<SocketOutputStream>();
    auto finish = [self, error, completion = std::move(completion)](ErrorPtr) {
        self->releasePending(error ? OutputStreamWriteHandlerResult::error(error)
                                   : OutputStreamWriteHandlerResult::ready());
        if (completion)
            completion(error);
    };
    if (auto socket = socket_.lock())
        socket->outputStreamDidClose(*this, error, std::move(finish));
    else
        finish(error);
}

} // namespace pemtrox
