#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "proxy/engine/Fields.h"

namespace pemtrox {

class HttpFields;

/// What the forwarding does with one final response, decided from the heads alone before
/// any byte of the body moves: whether the client connection closes after it, how the body
/// is framed and decoded on the way in and framed on the way out, and how the head for the
/// client differs from the head received.
struct ProxyHttpResponsePlan {
    /// How the body is read from the server.
    enum class Body { none, chunked, length, untilClose };
    enum class Decoding { none, gzip, compress };

    /// The facts the plan depends on.
    struct Input {
        float requestVersion = 1.1f;
        float responseVersion = 1.1f;
        std::int64_t status = 200;
        std::optional<std::string> method;
        /// The client does not know it talks to a proxy (a tunnel or a transparent server).
        bool transparent = false;
        /// The request asked for the connection to close.
        bool requestMustClose = false;
        /// A listener already asked for a decoded body.
        bool wantDecoded = false;
    };

    bool mustClose = false;
    Body body = Body::none;
    /// The declared length (Body::length only; 0 without a body).
    std::int64_t length = 0;
    /// Whether a length was declared at all.
    bool lengthDeclared = false;
    Decoding decoding = Decoding::none;
    /// The record's wantResponseBodyDecoded afterwards.
    bool wantDecoded = false;
    /// The body goes to the client chunked.
    bool chunkedOutput = false;
    /// Names of the fields removed from the client's head (every field of each name).
    std::vector<std::string> dropped;
    /// Fields appended to the client's head, in order.
    std::vector<Field> added;

    /// Throws ProxyHttpError for a "Content-Length" that is not a non-negative number or
    /// that disagrees with another.
    static ProxyHttpResponsePlan make(const Input& input, const Fields& response);
    /// The head for the client: a copy of the response with the plan's changes.
    std::shared_ptr<HttpFields> clientHead(const HttpFields& response) const;
};

} // namespace pemtrox
