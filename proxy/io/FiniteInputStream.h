#pragma once

#include <cstdint>

#include "proxy/io/FilterInputStream.h"

namespace pemtrox {

/// Delivers exactly `length` bytes of its parent (a body with a content length), then eof;
/// the bytes after them stay in the parent. A parent that ends early gives
/// InputStreamError::eof, so a cut body never looks complete; a parent's end after the last
/// byte, error or not, ends this stream with eof, so a whole body never looks cut.
class FiniteInputStream : public FilterInputStream {
public:
    static std::shared_ptr<FiniteInputStream> make(std::shared_ptr<MyInputStream> parent,
                                                   std::uint64_t length);
    FiniteInputStream(std::shared_ptr<MyInputStream> parent, std::uint64_t length)
        : FilterInputStream(std::move(parent)), length_(length) {}

    std::uint64_t counter() const { return counter_; }
    std::uint64_t length() const { return length_; }

protected:
    void readAny(std::optional<std::uint64_t> maxLength) override;
    void readLength(std::uint64_t length) override;
    /// Not supported: ends the stream with readMarkerNotSupported.
    void readMarker(const Data& marker, std::uint64_t maxLength) override;
    void filter(InputStreamEvent event, InputStreamReply parentReply) override;

private:
    std::uint64_t remaining() const { return length_ - counter_; }
    std::uint64_t counter_ = 0;
    std::uint64_t length_;
};

} // namespace pemtrox
