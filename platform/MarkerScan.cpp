#include "platform/MarkerScan.h"

#include <cstring>

namespace pemtrox {

MarkerScan MarkerScan::scan(std::span<const std::uint8_t> bytes, std::span<const std::uint8_t> marker,
                            std::size_t maxLength, std::size_t scanned) {
    if (marker.empty())
        return {Outcome::found, 0};
    std::size_t from = scanned >= marker.size() ? scanned - marker.size() + 1 : 0;
    if (bytes.size() >= from + marker.size()) {
        const void* hit = memmem(bytes.data() + from, bytes.size() - from, marker.data(), marker.size());
        if (hit) {
            std::size_t end = static_cast<const std::uint8_t*>(hit) - bytes.data() + marker.size();
            return end > maxLength ? MarkerScan{Outcome::tooLong, 0} : MarkerScan{Outcome::found, end};
        }
    }
    // A marker that ended within the limit would lie inside these bytes already.
    return {bytes.size() >= maxLength ? Outcome::tooLong : Outcome::needMore, 0};
}

} // namespace pemtrox
