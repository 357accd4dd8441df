#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "proxy/engine/HttpFields.h"

namespace pemtrox {

/// Turns the bytes of one message head, in pieces of any size, into lines for an
/// HttpFields. Lines that lie whole inside a piece are parsed in place; only a line cut
/// by a piece boundary is copied (and at most one line length of it is kept, so a peer
/// that never sends a line end cannot grow memory).
class HeadParser {
public:
    explicit HeadParser(std::shared_ptr<HttpFields> head) : head_(std::move(head)) {}

    /// Feeds the next piece. Returns how many bytes of it belong to the head once the head
    /// is complete (the rest is the next reader's), or absent when more is needed. Throws
    /// FieldsError; after a throw or a completion the parser must not be fed again.
    std::optional<std::size_t> put(std::string_view bytes);

    const std::shared_ptr<HttpFields>& head() const { return head_; }

private:
    bool addLine(std::string_view line);
    std::shared_ptr<HttpFields> head_;
    std::string partial_;
};

} // namespace pemtrox
