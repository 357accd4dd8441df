#include "proxy/io/AbstractInputStream.h"

namespace pemtrox {

void AbstractInputStream::close(ErrorPtr error, CloseCompletion completion) {
    if (isClosed()) {
        if (completion)
            completion(std::move(error));
        return;
    }
    closed_ = true;
    // The caller's completion gets the caller's error, whatever end the close work delivers.
    // closeImpl always gets a completion it can call.
    CloseCompletion done = [error, completion = std::move(completion)](ErrorPtr) {
        if (completion)
            completion(error);
    };
    closeImpl(std::move(error), std::move(done));
}

void AbstractInputStream::closeImpl(ErrorPtr error, CloseCompletion completion) {
    deliverEnd(std::move(error), std::move(completion));
}

void AbstractInputStream::setHandler(InputStreamHandler handler) {
    handler_ = handler ? std::make_shared<const InputStreamHandler>(std::move(handler)) : nullptr;
    ++handlerVersion_;
}

void AbstractInputStream::handler(InputStreamHandler handler) {
    setHandler(std::move(handler));
    if (isClosed())
        deliverEnd(nullptr, nullptr);
}

void AbstractInputStream::removeHandler() {
    handler_.reset();
    ++handlerVersion_;
}

void AbstractInputStream::deliverEnd(ErrorPtr error, CloseCompletion completion) {
    if (!handler_) {
        if (completion)
            completion(std::move(error));
        return;
    }
    auto event = error ? InputStreamEvent::error(error) : InputStreamEvent::eof();
    deliver(std::move(event),
            [error = std::move(error), completion = std::move(completion)](InputStreamHandlerResult) {
                if (completion)
                    completion(error);
            });
}

void AbstractInputStream::deliver(InputStreamEvent event, InputStreamReply after) {
    if (!handler_) {
        if (after)
            after(InputStreamHandlerResult::done);
        return;
    }
    auto handler = handler_;
    std::weak_ptr<AbstractInputStream> weak = weak_from_this();
    auto version = handlerVersion_;
    (*handler)(std::move(event),
               [weak = std::move(weak), version, after = std::move(after)](InputStreamHandlerResult result) {
                   if (result == InputStreamHandlerResult::done) {
                       if (auto self = weak.lock(); self && self->handlerVersion_ == version) {
                           self->handler_.reset();
                           ++self->handlerVersion_;
                       }
                   }
                   if (after)
                       after(result);
               });
}

} // namespace pemtrox
