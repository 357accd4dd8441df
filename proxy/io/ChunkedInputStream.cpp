#include "proxy/io/ChunkedInputStream.h"

#include <algorithm>

#include "platform/UnicodeScalars.h"
#include "proxy/io/InputStreamError.h"
#include "proxy/io/Plumber.h"
#include "proxy/io/TextHelpers.h"

namespace pemtrox {

namespace {
const Data crlf{'\r', '\n'};
constexpr std::uint64_t maxLineLength = MyInputStream::DefaultMarkerLimit;

bool endsWithCRLF(const Data& line) {
    return line.size() >= 2 && line[line.size() - 2] == '\r' && line.back() == '\n';
}
} // namespace

std::shared_ptr<ChunkedInputStream> ChunkedInputStream::make(std::shared_ptr<MyInputStream> parent) {
    return Plumber::make<ChunkedInputStream>(std::move(parent));
}

std::optional<std::uint64_t> ChunkedInputStream::parseChunkLength(std::string_view line) {
    if (!isValidUTF8(line))
        return std::nullopt;
    auto text = trimWhitespaceAndLineEnds(line);
    if (auto semicolon = text.find(';'); semicolon != std::string_view::npos)
        text = text.substr(0, semicolon);
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty())
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return std::nullopt;
        if (value > (UINT64_MAX >> 4))
            return std::nullopt;
        value = (value << 4) | static_cast<std::uint64_t>(digit);
    }
    if (negative && value != 0)
        return std::nullopt;
    return value;
}

void ChunkedInputStream::readAny(std::optional<std::uint64_t> maxLength) {
    if (answerFailure())
        return;
    if (finished_) {
        deliver(InputStreamEvent::eof());
        return;
    }
    lastMaxLength_ = maxLength;
    requestNext();
}

void ChunkedInputStream::readLength(std::uint64_t length) {
    readAny(length);
}

void ChunkedInputStream::readMarker(const Data&, std::uint64_t) {
    if (!answerFailure())
        fail(InputStreamError::readMarkerNotSupported().clone());
}

void ChunkedInputStream::requestNext() {
    switch (state_) {
    case ChunkedState::chunkLength:
    case ChunkedState::trailer:
        parent()->readTo(crlf, maxLineLength);
        break;
    case ChunkedState::chunk:
        parent()->read(std::min(*chunkSizeRemaining_, lastMaxLength_.value_or(MaxRead)));
        break;
    case ChunkedState::chunkEnd:
        parent()->readTo(2);
        break;
    }
}

void ChunkedInputStream::awaitCause(InputStreamReply parentReply) {
    cut_ = true;
    parent()->read();
    parentReply(InputStreamHandlerResult::more);
}

void ChunkedInputStream::filter(InputStreamEvent event, InputStreamReply parentReply) {
    if (cut_) {
        cut_ = false;
        if (event.isData()) {
            // More bytes after a short line: not a cut body but a line without its end.
            fail(state_ == ChunkedState::trailer    ? InputStreamError::invalidTrailer().clone()
                 : state_ == ChunkedState::chunkEnd ? InputStreamError::invalidEndOfChunk().clone()
                                                    : InputStreamError::invalidChunkLength().clone(),
                 std::move(parentReply));
            return;
        }
    }
    if (event.isError()) {
        deliver(std::move(event), std::move(parentReply));
        return;
    }
    if (event.isEof()) {
        // The parent ended before the last chunk: the body is cut short.
        if (!finished_) {
            fail(InputStreamError::eof().clone(), std::move(parentReply));
            return;
        }
        deliver(std::move(event), std::move(parentReply));
        return;
    }
    auto self = selfAs<ChunkedInputStream>();
    Data& bytes = event.data();
    switch (state_) {
    case ChunkedState::chunkLength: {
        if (!endsWithCRLF(bytes)) {
            awaitCause(std::move(parentReply));
            return;
        }
        chunkSizeRemaining_ =
            parseChunkLength(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        if (!chunkSizeRemaining_) {
            fail(InputStreamError::invalidChunkLength().clone(), std::move(parentReply));
            return;
        }
        state_ = *chunkSizeRemaining_ != 0 ? ChunkedState::chunk : ChunkedState::trailer;
        requestNext();
        parentReply(InputStreamHandlerResult::more);
        return;
    }
    case ChunkedState::chunk: {
        if (bytes.size() > *chunkSizeRemaining_) {
            // A parent never delivers more than asked; one that does cannot be trusted.
            fail(InputStreamError::invalidChunkLength().clone(), std::move(parentReply));
            return;
        }
        *chunkSizeRemaining_ -= bytes.size();
        if (*chunkSizeRemaining_ == 0)
            state_ = ChunkedState::chunkEnd;
        deliver(std::move(event), std::move(parentReply));
        return;
    }
    case ChunkedState::chunkEnd: {
        if (bytes != crlf) {
            if (bytes.size() < 2 && (bytes.empty() || bytes[0] == '\r'))
                awaitCause(std::move(parentReply));
            else
                fail(InputStreamError::invalidEndOfChunk().clone(), std::move(parentReply));
            return;
        }
        state_ = ChunkedState::chunkLength;
        requestNext();
        parentReply(InputStreamHandlerResult::more);
        return;
    }
    case ChunkedState::trailer: {
        if (!endsWithCRLF(bytes)) {
            awaitCause(std::move(parentReply));
            return;
        }
        std::string_view line(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        if (!isValidUTF8(line)) {
            state_ = ChunkedState::chunkLength;
            fail(InputStreamError::invalidTrailer().clone(), std::move(parentReply));
            return;
        }
        if (!trimWhitespaceAndLineEnds(line).empty()) {
            requestNext();
            parentReply(InputStreamHandlerResult::more);
            return;
        }
        state_ = ChunkedState::chunkLength;
        finished_ = true;
        deliver(InputStreamEvent::eof(), std::move(parentReply));
        return;
    }
    }
}

} // namespace pemtrox
