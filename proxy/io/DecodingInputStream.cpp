#include "proxy/io/DecodingInputStream.h"

#include <algorithm>

#include "proxy/io/InputStreamError.h"

namespace pemtrox {

namespace {
// The largest piece of an exact read decoded in one go.
constexpr std::size_t maxStep = 65536;
} // namespace

void DecodingInputStream::readAny(std::optional<std::uint64_t> maxLength) {
    request(std::min(maxLength.value_or(MaxRead), MaxRead), false);
}

void DecodingInputStream::readLength(std::uint64_t length) {
    request(length, true);
}

void DecodingInputStream::readMarker(const Data&, std::uint64_t) {
    if (!answerFailure())
        fail(InputStreamError::readMarkerNotSupported().clone());
}

void DecodingInputStream::request(std::uint64_t want, bool exact) {
    if (answerFailure())
        return;
    if (want == 0) {
        deliver(InputStreamEvent::data({}));
        return;
    }
    want_ = want;
    exact_ = exact;
    wanting_ = true;
    pump();
}

void DecodingInputStream::deliverOutput() {
    wanting_ = false;
    Data out = std::move(output_);
    output_ = Data();
    deliver(InputStreamEvent::data(std::move(out)));
}

void DecodingInputStream::pump() {
    auto self = selfAs<DecodingInputStream>();
    while (wanting_) {
        if (finished_) {
            if (!output_.empty()) {
                deliverOutput();
            } else if (!parentEnded_) {
                input_.clear();
                inputPos_ = 0;
                parent()->read(MaxRead);
            } else {
                wanting_ = false;
                deliver(InputStreamEvent::eof());
            }
            return;
        }
        std::size_t have = output_.size();
        std::size_t space = std::min<std::uint64_t>(want_ - have, maxStep);
        output_.resize(have + space);
        Step step = decode(input_.data() + inputPos_, input_.size() - inputPos_, parentEnded_,
                           output_.data() + have, space);
        output_.resize(have + step.produced);
        inputPos_ += step.consumed;
        if (inputPos_ >= input_.size()) {
            input_.clear();
            inputPos_ = 0;
        }
        if (step.error) {
            wanting_ = false;
            output_.clear();
            fail(step.error);
            return;
        }
        if (step.finished) {
            finished_ = true;
            continue;
        }
        if (!output_.empty() && (!exact_ || output_.size() >= want_)) {
            deliverOutput();
            return;
        }
        if (step.consumed == 0 && step.produced == 0) {
            if (parentEnded_) {
                // The coded data stopped in the middle.
                wanting_ = false;
                output_.clear();
                fail(InputStreamError::eof().clone());
            } else {
                parent()->read(MaxRead);
            }
            return;
        }
    }
}

void DecodingInputStream::filter(InputStreamEvent event, InputStreamReply parentReply) {
    if (event.isError()) {
        // Coded bytes still held must not come out as data after the error.
        wanting_ = false;
        input_.clear();
        inputPos_ = 0;
        output_.clear();
        deliver(std::move(event), std::move(parentReply));
        return;
    }
    auto self = selfAs<DecodingInputStream>();
    if (event.isEof()) {
        parentEnded_ = true;
    } else if (!finished_) {
        if (inputPos_ >= input_.size()) {
            input_ = event.takeData();
            inputPos_ = 0;
        } else {
            input_.insert(input_.end(), event.data().begin(), event.data().end());
        }
    }
    parentReply(InputStreamHandlerResult::more);
    pump();
}

} // namespace pemtrox
