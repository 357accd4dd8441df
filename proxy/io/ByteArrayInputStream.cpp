#include "proxy/io/ByteArrayInputStream.h"

#include <algorithm>

#include "platform/MarkerScan.h"
#include "proxy/io/InputStreamError.h"
#include "proxy/io/Plumber.h"

namespace pemtrox {

std::shared_ptr<ByteArrayInputStream> ByteArrayInputStream::make(Data data) {
    return Plumber::make<ByteArrayInputStream>(std::move(data));
}

void ByteArrayInputStream::readAny(std::optional<std::uint64_t> maxLength) {
    readLength(maxLength.value_or(MaxRead));
}

void ByteArrayInputStream::readLength(std::uint64_t length) {
    auto count = std::min<std::uint64_t>(buf_.size() - pos_, length);
    if (count < 1) {
        deliver(InputStreamEvent::eof());
        return;
    }
    Data chunk(buf_.begin() + pos_, buf_.begin() + pos_ + count);
    pos_ += count;
    deliver(InputStreamEvent::data(std::move(chunk)));
}

void ByteArrayInputStream::readMarker(const Data& marker, std::uint64_t maxLength) {
    auto scan = MarkerScan::scan({buf_.data() + pos_, buf_.size() - pos_}, marker);
    if (!scan.found() || marker.empty()) {
        // No marker in the rest: hand out the rest in read-sized pieces.
        readLength(MaxRead);
        return;
    }
    if (scan.end > maxLength) {
        deliver(InputStreamEvent::error(InputStreamError::markerLimitExceeded().clone()));
        return;
    }
    readLength(scan.end);
}

void ByteArrayInputStream::closeImpl(ErrorPtr error, CloseCompletion completion) {
    pos_ = buf_.size();
    AbstractInputStream::closeImpl(std::move(error), std::move(completion));
}

} // namespace pemtrox
