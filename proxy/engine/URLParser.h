#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pemtrox {

/// A request target or URL taken apart after RFC 3986 appendix B
/// ("^(([^:/?#]+):)?(//([^/?#]*))?([^?#]*)(\?([^#]*))?(#(.*))?"). Any text is accepted;
/// whether a scheme or host is present is the caller's business.
struct URLParser {
    std::optional<std::string> scheme;
    /// Absent without "//"; may be empty.
    std::optional<std::string> host;
    /// Absent when the authority has no ":"; not range-checked.
    std::optional<std::int64_t> port;
    std::string path;
    /// Without the "?"; empty when "?" ends the target.
    std::optional<std::string> query;

    /// Absent only when the authority has a ":" not followed by a decimal number (an
    /// empty port, user information with a colon, an IPv6 literal).
    static std::optional<URLParser> parse(std::string_view text);
};

} // namespace pemtrox
