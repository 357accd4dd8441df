#include "proxy/engine/FieldsError.h"

namespace pemtrox {

std::string FieldsError::description() const {
    switch (kind_) {
    case Kind::invalidFirstLine:
        return "Invalid first line: " + firstLine_;
    case Kind::unexpectedFieldContinuation:
        return "Unexpected whitespace";
    case Kind::brokenHeaderLine:
        return "Broken line";
    case Kind::unsupportedCharacterEncoding:
        return "Failed to decode";
    case Kind::noFirstLine:
        return "No first line";
    case Kind::lineTooLong:
        return "Header line longer than " + std::to_string(limit_) + " bytes";
    case Kind::headerTooLarge:
        return "Header larger than " + std::to_string(limit_) + " bytes";
    case Kind::tooManyFields:
        return "More than " + std::to_string(limit_) + " header fields";
    case Kind::invalidCharacter:
        return "Bare CR, LF or NUL in header line";
    }
    return "";
}

} // namespace pemtrox
