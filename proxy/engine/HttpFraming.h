#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace pemtrox {

class Fields;

/// Which message has a body and how long it is, decided from its head alone: no stream is
/// touched, so the forwarding and the response plan follow the same rules.
namespace HttpFraming {

/// Framing of a message body as its head declares it.
struct Framing {
    bool chunked = false;
    std::optional<std::int64_t> length;
};

/// The request's framing. Throws ProxyHttpError for a "Transfer-Encoding" other than
/// exactly "chunked", and for a "Content-Length" that is not a non-negative number or is
/// given twice with different values. With chunked framing every "Content-Length" is
/// removed from the head.
Framing requestFraming(Fields& head);
/// The message's length: every "Content-Length" must agree and be non-negative (throws
/// ProxyHttpError); absent when there is none.
std::optional<std::int64_t> declaredLength(const Fields& head);
/// The version number after "HTTP/", or -1.
float versionNumber(const std::string& protocolVersion);
/// Whether a response with this status, answering this request method, carries a body.
bool responseHasBody(std::int64_t status, const std::optional<std::string>& method);

} // namespace HttpFraming

} // namespace pemtrox
