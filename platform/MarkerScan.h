#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

namespace pemtrox {

/// Where a read up to and including a marker stands in the bytes at hand.
struct MarkerScan {
    enum class Outcome {
        found,    ///< the marker ends within the limit, at `end`
        needMore, ///< no marker yet, and more bytes may still bring one within the limit
        tooLong,  ///< no marker can end within the limit any more
    };
    Outcome outcome = Outcome::needMore;
    /// With `found`: the length up to and including the marker.
    std::size_t end = 0;

    /// Looks for the first `marker` in `bytes`. `scanned` bytes at the front were searched
    /// before without a match (so the search resumes marker-length - 1 bytes before them);
    /// `maxLength` is the longest answer allowed, marker included. An empty marker is found
    /// at once, with `end` 0.
    static MarkerScan scan(std::span<const std::uint8_t> bytes, std::span<const std::uint8_t> marker,
                           std::size_t maxLength = std::numeric_limits<std::size_t>::max(),
                           std::size_t scanned = 0);

    bool found() const { return outcome == Outcome::found; }
};

} // namespace pemtrox
