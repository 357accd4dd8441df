#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace pemtrox {

/// A parsed request line: a token method, a target without blanks or control bytes, and
/// HTTP/1.0 or HTTP/1.1.
struct RequestFirstLine {
    std::string method;
    /// The request target as written: origin, absolute or authority form.
    std::string requestString;
    std::string protocolVersion;

    /// Parses a request line; throws FieldsError::invalidFirstLine for anything else.
    static RequestFirstLine parse(const std::string& line);
    /// "METHOD target VERSION", or "METHOD VERSION" without a target.
    std::string description() const;
};

/// A parsed status line.
struct ResponseFirstLine {
    std::int64_t status = 0;
    /// Starts with "HTTP/".
    std::string protocolVersion;
    /// The reason phrase; absent when the line has none.
    std::optional<std::string> statusDescription;

    /// Parses a status line; throws FieldsError::invalidFirstLine.
    static ResponseFirstLine parse(const std::string& line);
    /// "VERSION STATUS REASON" (the reason may be empty, leaving a trailing blank).
    std::string description() const;
};

} // namespace pemtrox
