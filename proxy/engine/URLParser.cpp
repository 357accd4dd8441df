#include "proxy/engine/URLParser.h"

#include "proxy/engine/HttpText.h"

namespace pemtrox {

// The appendix-B pattern always matches and never backtracks across its delimiters,
// which are all ASCII, so a single scan over the bytes gives the same groups as the
// regular expression, for any text.
std::optional<URLParser> URLParser::parse(std::string_view text) {
    URLParser result;
    std::size_t pos = 0;

    auto schemeEnd = text.find_first_of(":/?#");
    if (schemeEnd != std::string_view::npos && schemeEnd > 0 && text[schemeEnd] == ':') {
        result.scheme = std::string(text.substr(0, schemeEnd));
        pos = schemeEnd + 1;
    }

    if (text.substr(pos, 2) == "//") {
        pos += 2;
        auto end = std::min(text.find_first_of("/?#", pos), text.size());
        auto authority = text.substr(pos, end - pos);
        pos = end;
        auto colon = authority.find(':');
        if (colon == std::string_view::npos) {
            result.host = std::string(authority);
        } else {
            auto port = parseDecimal(authority.substr(colon + 1));
            if (!port)
                return std::nullopt;
            result.host = std::string(authority.substr(0, colon));
            result.port = port;
        }
    }

    auto pathEnd = std::min(text.find_first_of("?#", pos), text.size());
    result.path = std::string(text.substr(pos, pathEnd - pos));
    pos = pathEnd;

    if (pos < text.size() && text[pos] == '?') {
        auto queryEnd = std::min(text.find('#', pos + 1), text.size());
        result.query = std::string(text.substr(pos + 1, queryEnd - pos - 1));
    }
    return result;
}

} // namespace pemtrox
