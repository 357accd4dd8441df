#include "proxy/engine/Fields.h"

#include <chrono>
#include <cstring>

#include "platform/UnicodeScalars.h"
#include "proxy/engine/FieldsError.h"
#include "proxy/engine/HttpText.h"

namespace pemtrox {

std::shared_ptr<Fields> Fields::fromString(std::string_view text) {
    auto fields = std::make_shared<Fields>();
    while (true) {
        auto end = text.find("\r\n");
        auto piece = end == std::string_view::npos ? text : text.substr(0, end);
        // Only ASCII passes the UTF-8 decoding of addLine unchanged after a Latin-1 encoding.
        for (unsigned char c : piece)
            if (c >= 0x80)
                throw FieldsError::unsupportedCharacterEncoding();
        if (fields->addLine(piece) || end == std::string_view::npos)
            return fields;
        text.remove_prefix(end + 2);
    }
}

std::string_view Fields::checkedLine(std::string_view rawLine) {
    auto line = trimmingCRLF(rawLine);
    if (line.size() > maxLineLength)
        throw FieldsError::lineTooLong(maxLineLength);
    // Three vectorised scans (find_first_of would search the set once per byte).
    for (char c : {'\r', '\n', '\0'}) {
        if (std::memchr(line.data(), c, line.size()))
            throw FieldsError::invalidCharacter();
    }
    if (!isValidUTF8(line))
        throw FieldsError::unsupportedCharacterEncoding();
    return line;
}

void Fields::countRaw(std::size_t bytes) {
    rawSize += static_cast<std::int64_t>(bytes);
    if (rawSize > maxHeadSize)
        throw FieldsError::headerTooLarge(maxHeadSize);
}

void Fields::closeOpenField() {
    if (!currentKey_ || !currentValue_)
        return;
    if (fields.size() >= maxFieldCount)
        throw FieldsError::tooManyFields(maxFieldCount);
    auto value = trimWhitespace(*currentValue_);
    if (fields.empty())
        fields.reserve(16); // a typical head's fields without growing step by step
    fields.push_back(Field{std::move(*currentKey_), std::string(value)});
    currentKey_.reset();
    currentValue_.reset();
}

bool Fields::addLine(std::string_view rawLine) {
    auto line = checkedLine(rawLine);
    if (!line.empty()) {
        if (!receiveTime)
            receiveTime = std::chrono::system_clock::now();
        countRaw(rawLine.size());
        if (line[0] == ' ') {
            if (!currentValue_)
                throw FieldsError::unexpectedFieldContinuation();
            currentValue_->append(line);
            return false;
        }
        auto colon = line.find(':');
        if (colon == std::string_view::npos) {
            if (!currentValue_)
                throw FieldsError::brokenHeaderLine();
            currentValue_->append(" ").append(line);
            return false;
        }
        closeOpenField();
        currentKey_.emplace(trimWhitespace(line.substr(0, colon)));
        currentValue_.emplace(line.substr(colon + 1));
        return false;
    }
    closeOpenField();
    if (fields.empty())
        return false;
    countRaw(rawLine.size());
    return true;
}

std::string Fields::headerText() const {
    std::size_t size = 2;
    for (auto& field : fields)
        size += field.name.size() + field.value.size() + 4;
    std::string text;
    text.reserve(size);
    for (auto& field : fields)
        text.append(field.name).append(": ").append(field.value).append("\r\n");
    text.append("\r\n");
    return text;
}

std::optional<std::size_t> Fields::indexOfField(std::string_view name) const {
    for (std::size_t i = 0; i < fields.size(); ++i)
        if (equalsIgnoringCase(fields[i].name, name))
            return i;
    return std::nullopt;
}

std::optional<std::string_view> Fields::value(std::string_view name) const {
    auto index = indexOfField(name);
    if (!index)
        return std::nullopt;
    return fields[*index].value;
}

bool Fields::valueIs(std::string_view name, std::string_view expected) const {
    auto text = value(name);
    return text && equalsIgnoringCase(*text, expected);
}

std::optional<std::int64_t> Fields::intValue(std::string_view name) const {
    auto text = value(name);
    if (!text)
        return std::nullopt;
    return parseDecimal(trimWhitespace(*text));
}

std::shared_ptr<Fields> Fields::copy() const {
    return std::make_shared<Fields>(*this);
}

} // namespace pemtrox
