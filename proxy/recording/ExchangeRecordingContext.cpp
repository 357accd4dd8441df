#include "proxy/recording/ExchangeRecordingContext.h"

#include <algorithm>
#include <utility>

#include "proxy/engine/Fields.h"
#include "proxy/recording/ExchangeRecording.h"

namespace pemtrox {

ExchangeRecordingContext::ExchangeRecordingContext(std::shared_ptr<ExchangeRecording> recording)
    : recording_(std::move(recording)) {}

bool ExchangeRecordingContext::active() const {
    return recording_->active && !recording_->abandoned;
}

bool ExchangeRecordingContext::deferMetadata() {
    lastBodyMetadata_.reset();
    return !std::exchange(metadataWaits_, true);
}

RecordingTimeTexts& ExchangeRecordingContext::buildMetadata() {
    lastBodyMetadata_.reset();
    metadataWaits_ = false;
    return times_;
}

bool ExchangeRecordingContext::bodyMetadataDue(std::chrono::steady_clock::time_point now,
                                               std::chrono::steady_clock::duration interval) {
    return !lastBodyMetadata_ || now - *lastBodyMetadata_ >= interval;
}

std::optional<std::string> ExchangeRecordingContext::changedHead(const Fields& head, bool request) {
    auto text = head.headerText();
    auto& given = request ? requestHeadGiven_ : responseHeadGiven_;
    if (text == given)
        return std::nullopt;
    given = text;
    return text;
}

std::optional<std::size_t> ExchangeRecordingContext::bodyBytes(bool request, std::size_t size,
                                                               std::int64_t cap) {
    auto& queued = request ? requestQueued_ : responseQueued_;
    bool first = queued < 0;
    queued = std::max<std::int64_t>(queued, 0);
    auto fits =
        static_cast<std::size_t>(std::clamp<std::int64_t>(cap - queued, 0, static_cast<std::int64_t>(size)));
    if (fits == 0 && !first)
        return std::nullopt;
    queued += static_cast<std::int64_t>(fits);
    return fits;
}

} // namespace pemtrox
