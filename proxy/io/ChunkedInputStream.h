#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "proxy/io/FilterInputStream.h"

namespace pemtrox {

enum class ChunkedState : int { chunkLength = 97, chunk = 98, chunkEnd = 99, trailer = 100 };

/// Decodes the HTTP chunked transfer coding of its parent. The reader sees the chunk data,
/// then eof after the last chunk and its trailer. A body cut short ends with
/// InputStreamError::eof, a malformed one with the matching InputStreamError; either way
/// the reader gets an error event, never a normal end.
class ChunkedInputStream : public FilterInputStream {
public:
    static std::shared_ptr<ChunkedInputStream> make(std::shared_ptr<MyInputStream> parent);
    explicit ChunkedInputStream(std::shared_ptr<MyInputStream> parent)
        : FilterInputStream(std::move(parent)) {}

    ChunkedState state() const { return state_; }

    /// The size of a chunk-size line (with or without its CRLF): hexadecimal, extensions
    /// after ';' dropped; absent when it does not parse.
    static std::optional<std::uint64_t> parseChunkLength(std::string_view line);

protected:
    void readAny(std::optional<std::uint64_t> maxLength) override;
    /// At most `length` bytes of chunk data (one delivery).
    void readLength(std::uint64_t length) override;
    /// Not supported on a coded body: ends the stream with readMarkerNotSupported.
    void readMarker(const Data& marker, std::uint64_t maxLength) override;
    void filter(InputStreamEvent event, InputStreamReply parentReply) override;

private:
    void requestNext();
    /// A line or chunk end came short: the parent's next event says why (its end or its
    /// error); until then nothing is delivered.
    void awaitCause(InputStreamReply parentReply);

    std::optional<std::uint64_t> chunkSizeRemaining_;
    ChunkedState state_ = ChunkedState::chunkLength;
    std::optional<std::uint64_t> lastMaxLength_;
    // Set once the final blank line has been read: the body is over and the bytes after
    // it (the next message) belong to someone else.
    bool finished_ = false;
    bool cut_ = false;
};

} // namespace pemtrox
