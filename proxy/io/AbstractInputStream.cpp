#include "proxy/io/AbstractInputStream.h"

#include <array>

namespace pemtrox {

void AbstractInputStream::close(ErrorPtr error, CloseCompletion completion) {
    if (isClosed())
        return completeClose(completion, std::move(error));
    closed_ = true;
    // A stream closes once; the close work may deliver any end, the caller hears its own.
    auto done = answeringWith(error, std::move(completion));
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

/// The reply a stream hands its handler with a delivery. A filter that passes its parent's
/// reply on unchanged adds its own layer to it instead of wrapping it, so a piece that
/// crosses several streams costs one reply object, not one per stream. Layers are undone
/// newest first, as nested replies would be.
struct DeliveryReply {
    static constexpr std::size_t Capacity = 6;
    struct Layer {
        std::weak_ptr<AbstractInputStream> stream;
        std::int64_t version = 0;
    };
    std::array<Layer, Capacity> layers;
    std::size_t count = 0;
    InputStreamReply after;

    void operator()(InputStreamHandlerResult result) const {
        if (result == InputStreamHandlerResult::done) {
            for (std::size_t i = count; i-- > 0;) {
                // A `done` removes the handler that got the event, not one installed since.
                if (auto self = layers[i].stream.lock(); self && self->handlerVersion_ == layers[i].version) {
                    self->handler_.reset();
                    ++self->handlerVersion_;
                }
            }
        }
        if (after)
            after(result);
    }
};

void AbstractInputStream::deliver(InputStreamEvent event, InputStreamReply after) {
    if (!handler_) {
        if (after)
            after(InputStreamHandlerResult::done);
        return;
    }
    auto handler = handler_;
    InputStreamReply reply;
    auto* below = after ? after.target<DeliveryReply>() : nullptr;
    if (below && below->count < DeliveryReply::Capacity) {
        below->layers[below->count++] = {weak_from_this(), handlerVersion_};
        reply = std::move(after);
    } else {
        DeliveryReply fresh;
        fresh.layers[0] = {weak_from_this(), handlerVersion_};
        fresh.count = 1;
        fresh.after = std::move(after);
        reply = std::move(fresh);
    }
    (*handler)(std::move(event), std::move(reply));
}

} // namespace pemtrox
