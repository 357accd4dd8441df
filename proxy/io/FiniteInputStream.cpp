#include "proxy/io/FiniteInputStream.h"

#include <algorithm>

#include "proxy/io/InputStreamError.h"
#include "proxy/io/Plumber.h"

namespace pemtrox {

std::shared_ptr<FiniteInputStream> FiniteInputStream::make(std::shared_ptr<MyInputStream> parent,
                                                           std::uint64_t length) {
    return Plumber::make<FiniteInputStream>(std::move(parent), length);
}

void FiniteInputStream::readAny(std::optional<std::uint64_t> maxLength) {
    if (answerFailure())
        return;
    if (remaining() == 0) {
        deliver(InputStreamEvent::eof());
        return;
    }
    parent()->read(std::min({remaining(), maxLength.value_or(MaxRead), MaxRead}));
}

void FiniteInputStream::readLength(std::uint64_t length) {
    if (answerFailure())
        return;
    if (remaining() == 0) {
        deliver(InputStreamEvent::eof());
        return;
    }
    parent()->readTo(std::min({remaining(), length, MaxRead}));
}

void FiniteInputStream::readMarker(const Data&, std::uint64_t) {
    if (!answerFailure())
        fail(InputStreamError::readMarkerNotSupported().clone());
}

void FiniteInputStream::filter(InputStreamEvent event, InputStreamReply parentReply) {
    if (event.isEof() && remaining() > 0) {
        fail(InputStreamError::eof().clone(), std::move(parentReply));
        return;
    }
    if (event.isError() && remaining() == 0) {
        // Every byte of the length has been delivered: how the parent ends afterwards (a
        // server that closes or resets right after its last byte, while the reader is still
        // passing that byte on) is no part of this stream, which ends whole.
        deliver(InputStreamEvent::eof(), std::move(parentReply));
        return;
    }
    if (!event.isData()) {
        deliver(std::move(event), std::move(parentReply));
        return;
    }
    if (event.data().size() > remaining()) {
        // A parent never delivers more than asked; never pass on more than the length.
        event.data().resize(remaining());
    }
    counter_ += event.data().size();
    if (remaining() > 0) {
        // Not the last piece: the parent gets the reader's reply as it stands.
        deliver(std::move(event), std::move(parentReply));
        return;
    }
    deliver(std::move(event), [self = selfAs<FiniteInputStream>(),
                               parentReply = std::move(parentReply)](InputStreamHandlerResult result) {
        if (result == InputStreamHandlerResult::done) {
            parentReply(result);
            return;
        }
        // The last byte has gone: the end follows at once.
        self->deliver(InputStreamEvent::eof(), parentReply);
    });
}

} // namespace pemtrox
