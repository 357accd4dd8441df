#include "proxy/io/PushbackInputStream.h"

#include <algorithm>
#include <limits>

#include "platform/Log.h"
#include "platform/MarkerScan.h"
#include "proxy/io/InputStreamError.h"
#include "proxy/io/Plumber.h"

namespace pemtrox {

std::shared_ptr<PushbackInputStream> PushbackInputStream::make(std::shared_ptr<MyInputStream> parent) {
    return Plumber::make<PushbackInputStream>(std::move(parent));
}

void PushbackInputStream::unread(const Data& bytes) {
    if (!buf_ || buf_->empty()) {
        buf_ = bytes;
        return;
    }
    buf_->insert(buf_->begin(), bytes.begin(), bytes.end());
}

Data PushbackInputStream::take(std::size_t count) {
    Data& pushed = *buf_;
    if (count >= pushed.size()) {
        Data all = std::move(pushed);
        buf_.reset();
        return all;
    }
    Data chunk(pushed.begin(), pushed.begin() + count);
    pushed.erase(pushed.begin(), pushed.begin() + count);
    return chunk;
}

bool PushbackInputStream::answerHeldEnd() {
    if (!heldEnd_)
        return false;
    if (hasPushedData()) {
        deliver(InputStreamEvent::data(take(buf_->size())));
        return true;
    }
    auto end = std::move(*heldEnd_);
    heldEnd_.reset();
    deliver(std::move(end));
    return true;
}

void PushbackInputStream::readAny(std::optional<std::uint64_t> maxLength) {
    if (answerFailure())
        return;
    if (hasPushedData()) {
        deliver(InputStreamEvent::data(
            take(std::min<std::uint64_t>(maxLength.value_or(UINT64_MAX), buf_->size()))));
        return;
    }
    if (answerHeldEnd())
        return;
    prependNextReadBuf_.push_back({});
    buf_.reset();
    parent()->read(maxLength);
}

void PushbackInputStream::readLength(std::uint64_t length) {
    if (answerFailure())
        return;
    if (buf_ && buf_->size() >= length) {
        deliver(InputStreamEvent::data(take(length)));
        return;
    }
    if (answerHeldEnd())
        return;
    std::uint64_t pushed = buf_ ? buf_->size() : 0;
    prependNextReadBuf_.push_back({std::move(buf_), {}});
    buf_.reset();
    parent()->readTo(length - pushed);
}

void PushbackInputStream::readMarker(const Data& marker, std::uint64_t maxLength) {
    if (answerFailure())
        return;
    if (!hasPushedData()) {
        if (answerHeldEnd())
            return;
        prependNextReadBuf_.push_back({std::nullopt, {}});
        buf_.reset();
        parent()->readTo(marker, maxLength);
        return;
    }
    auto scan = MarkerScan::scan(*buf_, marker, static_cast<std::size_t>(maxLength));
    if (!marker.empty() && scan.outcome != MarkerScan::Outcome::needMore) {
        if (scan.found())
            deliver(InputStreamEvent::data(take(scan.end)));
        else
            deliver(InputStreamEvent::error(InputStreamError::markerLimitExceeded().clone()));
        return;
    }
    std::uint64_t pushed = buf_->size();
    if (pushed >= maxLength) {
        deliver(InputStreamEvent::error(InputStreamError::markerLimitExceeded().clone()));
        return;
    }
    if (answerHeldEnd())
        return;
    prependNextReadBuf_.push_back({std::move(buf_), marker});
    buf_.reset();
    parent()->readTo(marker, maxLength - pushed);
}

void PushbackInputStream::filter(InputStreamEvent event, InputStreamReply parentReply) {
    if (!event.isData() && prependNextReadBuf_.empty() && hasPushedData()) {
        // Unasked: the parent closed while nobody read (a handler installed on a closed
        // stream is told so at once). The pushed bytes were received before that end.
        heldEnd_ = std::move(event);
        parentReply(InputStreamHandlerResult::done);
        return;
    }
    if (event.isError()) {
        prependNextReadBuf_.clear();
        deliver(std::move(event), std::move(parentReply));
        return;
    }
    if (prependNextReadBuf_.empty()) {
        if (event.isData())
            LOG_INFO("Interesting; no prependNextReadBuf");
        deliver(std::move(event), std::move(parentReply));
        return;
    }
    Prepend entry = std::move(prependNextReadBuf_.front());
    prependNextReadBuf_.pop_front();
    if (!entry.prefix) {
        deliver(std::move(event), std::move(parentReply));
        return;
    }
    // The pushed bytes stand in for an end; the next request meets the end again.
    Data joined = std::move(*entry.prefix);
    if (event.isData()) {
        std::size_t split = joined.size();
        const Data& received = event.data();
        joined.insert(joined.end(), received.begin(), received.end());
        const Data& marker = entry.marker;
        if (!marker.empty()) {
            // The pushed bytes held no whole marker, so a match can start no earlier than
            // marker-length - 1 bytes before the join.
            auto scan = MarkerScan::scan(joined, marker, std::numeric_limits<std::size_t>::max(), split);
            if (scan.found()) {
                auto end = joined.begin() + static_cast<std::ptrdiff_t>(scan.end);
                if (end != joined.end()) {
                    unread(Data(end, joined.end()));
                    joined.erase(end, joined.end());
                }
            }
        }
    }
    deliver(InputStreamEvent::data(std::move(joined)), std::move(parentReply));
}

} // namespace pemtrox
