#pragma once

#include <cstdint>

#include "proxy/io/FilterInputStream.h"

namespace pemtrox {

/// Base of the content-decoding streams: pulls coded bytes from the parent in read-sized
/// pieces and hands out decoded bytes no faster than the reader asks, so a small coded body
/// that expands a lot is never held whole. After the coded data ends, the rest of the
/// parent's body is read and dropped, so nothing of it is left for the next message.
class DecodingInputStream : public FilterInputStream {
public:
    using FilterInputStream::FilterInputStream;

protected:
    struct Step {
        std::size_t consumed = 0;
        std::size_t produced = 0;
        /// No more output will come; the input that follows is not part of the coded data.
        bool finished = false;
        ErrorPtr error;
    };
    /// Decodes from `in` into `out` (outLen is at least 1). Returning neither progress nor
    /// `finished` means more input is needed; with `inputEnded` that is a cut body.
    virtual Step decode(const std::uint8_t* in, std::size_t inLen, bool inputEnded, std::uint8_t* out,
                        std::size_t outLen) = 0;

    void readAny(std::optional<std::uint64_t> maxLength) override;
    /// Exactly `length` decoded bytes, fewer only at the end.
    void readLength(std::uint64_t length) override;
    /// Not supported on a coded body: ends the stream with readMarkerNotSupported.
    void readMarker(const Data& marker, std::uint64_t maxLength) override;
    void filter(InputStreamEvent event, InputStreamReply parentReply) override;

private:
    void request(std::uint64_t want, bool exact);
    void pump();
    void deliverOutput();

    Data input_;
    std::size_t inputPos_ = 0;
    Data output_;
    std::uint64_t want_ = 0;
    bool exact_ = false;
    bool wanting_ = false;
    bool finished_ = false;
    bool parentEnded_ = false;
};

} // namespace pemtrox
