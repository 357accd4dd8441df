#include "proxy/io/FilterInputStream.h"

#include "platform/Log.h"
#include "proxy/io/Plumber.h"

namespace pemtrox {

std::shared_ptr<FilterInputStream> FilterInputStream::make(std::shared_ptr<MyInputStream> parent) {
    return Plumber::make<FilterInputStream>(std::move(parent));
}

void FilterInputStream::handler(InputStreamHandler handler) {
    setHandler(std::move(handler));
    std::weak_ptr<FilterInputStream> weak = selfAs<FilterInputStream>();
    parent_->handler([weak](InputStreamEvent event, InputStreamReply reply) {
        auto self = weak.lock();
        if (!self) {
            if (event.isData())
                LOG_WARNING("FilterInputStream dropped {} bytes due to self gone", event.data().size());
            reply(InputStreamHandlerResult::done);
            return;
        }
        self->filter(std::move(event), std::move(reply));
    });
}

void FilterInputStream::removeHandler() {
    AbstractInputStream::removeHandler();
    parent_->removeHandler();
}

void FilterInputStream::readAny(std::optional<std::uint64_t> maxLength) {
    if (!answerFailure())
        parent_->read(maxLength);
}

void FilterInputStream::readLength(std::uint64_t length) {
    if (!answerFailure())
        parent_->readTo(length);
}

void FilterInputStream::readMarker(const Data& marker, std::uint64_t maxLength) {
    if (!answerFailure())
        parent_->readTo(marker, maxLength);
}

void FilterInputStream::closeImpl(ErrorPtr error, CloseCompletion completion) {
    parent_->close(std::move(error), std::move(completion));
}

void FilterInputStream::filter(InputStreamEvent event, InputStreamReply parentReply) {
    deliver(std::move(event), std::move(parentReply));
}

void FilterInputStream::fail(ErrorPtr error, InputStreamReply parentReply) {
    auto self = selfAs<FilterInputStream>();
    failure_ = error;
    // The hook goes first, so the parent's own end does not come back through it.
    if (parentReply)
        parentReply(InputStreamHandlerResult::done);
    else
        parent_->removeHandler();
    if (!parent_->isClosed()) {
        setClosed();
        parent_->close(error, nullptr);
    }
    deliver(InputStreamEvent::error(std::move(error)));
}

bool FilterInputStream::answerFailure() {
    if (!failure_)
        return false;
    deliver(InputStreamEvent::error(failure_));
    return true;
}

} // namespace pemtrox
