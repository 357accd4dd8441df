#pragma once

#include <memory>

#include "proxy/io/DecodingInputStream.h"

namespace pemtrox {

/// Removes the gzip content coding (zlib-wrapped data is accepted too). Concatenated
/// members are decoded one after the other; bytes after the last member are dropped. A
/// body that is not valid gzip ends with an error event ("Input Error"), a cut one with
/// InputStreamError::eof.
class SafeGZIPInputStream : public DecodingInputStream {
public:
    static std::shared_ptr<SafeGZIPInputStream> make(std::shared_ptr<MyInputStream> parent);
    explicit SafeGZIPInputStream(std::shared_ptr<MyInputStream> parent);
    ~SafeGZIPInputStream() override;
    SafeGZIPInputStream(const SafeGZIPInputStream&) = delete;
    SafeGZIPInputStream& operator=(const SafeGZIPInputStream&) = delete;

protected:
    Step decode(const std::uint8_t* in, std::size_t inLen, bool inputEnded, std::uint8_t* out,
                std::size_t outLen) override;

private:
    enum class Phase { start, member, between };
    /// zlib's state, kept out of this header (zlib is the library's private dependency).
    struct Inflater;
    std::unique_ptr<Inflater> inflater_;
    Phase phase_ = Phase::start;
};

} // namespace pemtrox
