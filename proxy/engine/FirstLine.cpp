#include "proxy/engine/FirstLine.h"

#include <string_view>
#include <vector>

#include "proxy/engine/FieldsError.h"
#include "proxy/engine/HttpText.h"

namespace pemtrox {

namespace {

// Splits at every single blank: two blanks in a row give an empty piece.
std::vector<std::string_view> splitAtBlanks(std::string_view line) {
    std::vector<std::string_view> pieces;
    pieces.reserve(4); // a first line has three pieces: one allocation, not three
    std::size_t start = 0;
    while (true) {
        auto blank = line.find(' ', start);
        if (blank == std::string_view::npos) {
            pieces.push_back(line.substr(start));
            return pieces;
        }
        pieces.push_back(line.substr(start, blank - start));
        start = blank + 1;
    }
}

// A token character of a method name: a visible ASCII character other than a delimiter.
bool isTokenChar(unsigned char c) {
    if (c >= '0' && c <= '9')
        return true;
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z')
        return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

bool isToken(std::string_view text) {
    if (text.empty())
        return false;
    for (unsigned char c : text)
        if (!isTokenChar(c))
            return false;
    return true;
}

// A request target without control bytes (blanks were split off already).
bool isTarget(std::string_view text) {
    if (text.empty())
        return false;
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F)
            return false;
    return true;
}

} // namespace

// Strict: a line that one server could read differently from another (a control byte in
// the method, an extra blank, an unknown version) is refused rather than passed on.
RequestFirstLine RequestFirstLine::parse(const std::string& line) {
    auto pieces = splitAtBlanks(line);
    if (pieces.size() != 3 || !isToken(pieces[0]) || !isTarget(pieces[1]) ||
        (pieces[2] != "HTTP/1.1" && pieces[2] != "HTTP/1.0"))
        throw FieldsError::invalidFirstLine(line);
    return {std::string(pieces[0]), std::string(pieces[1]), std::string(pieces[2])};
}

std::string RequestFirstLine::description() const {
    if (requestString.empty())
        return method + " " + protocolVersion;
    return method + " " + requestString + " " + protocolVersion;
}

ResponseFirstLine ResponseFirstLine::parse(const std::string& line) {
    auto pieces = splitAtBlanks(line);
    if (pieces.size() < 2 || !pieces[0].starts_with("HTTP/"))
        throw FieldsError::invalidFirstLine(line);
    auto status = parseDecimal(pieces[1]);
    if (!status)
        throw FieldsError::invalidFirstLine(line);
    ResponseFirstLine parsed{*status, std::string(pieces[0]), std::nullopt};
    if (pieces.size() > 2) {
        // Pieces 3 onward joined with single blanks: the rest of the line as written.
        auto restStart = pieces[0].size() + 1 + pieces[1].size() + 1;
        parsed.statusDescription = line.substr(restStart);
    }
    return parsed;
}

std::string ResponseFirstLine::description() const {
    return protocolVersion + " " + std::to_string(status) + " " + statusDescription.value_or("");
}

} // namespace pemtrox
