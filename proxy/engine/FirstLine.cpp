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

} // namespace

RequestFirstLine RequestFirstLine::parse(const std::string& line) {
    auto pieces = splitAtBlanks(line);
    if (pieces.size() < 2)
        throw FieldsError::invalidFirstLine(line);
    if (pieces.size() == 2)
        return {std::string(pieces[0]), "", std::string(pieces[1])};
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
