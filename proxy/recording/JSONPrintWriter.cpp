#include "proxy/recording/JSONPrintWriter.h"

#include <charconv>
#include <cmath>

#include "platform/Log.h"
#include "proxy/recording/JSONString.h"

namespace pemtrox {

std::string JSONPrintWriter::quoted(std::string_view text) {
    return quotedJSONString(text, JSONStringForm::scriptSafe);
}

JSONPrintWriter& JSONPrintWriter::token(std::string_view text) {
    parent_->print(text);
    return *this;
}

void JSONPrintWriter::beforeValue() {
    if (open_.empty())
        return;
    Container& inner = open_.back();
    if (inner.container == ContainerType::object) {
        if (inner.state != State::key)
            fatalError("Values in an object must be proceeded by a key");
        inner.state = State::value;
    } else if (inner.state == State::value) {
        parent_->print(",");
    } else {
        inner.state = State::value;
    }
}

JSONPrintWriter& JSONPrintWriter::object() {
    beforeValue();
    open_.push_back({ContainerType::object, State::initial});
    return token("{");
}

JSONPrintWriter& JSONPrintWriter::array() {
    beforeValue();
    open_.push_back({ContainerType::array, State::initial});
    return token("[");
}

JSONPrintWriter& JSONPrintWriter::endObject() {
    if (open_.empty() || open_.back().container != ContainerType::object)
        fatalError("Tried to close object but object not open");
    open_.pop_back();
    return token("}");
}

JSONPrintWriter& JSONPrintWriter::endArray() {
    if (open_.empty() || open_.back().container != ContainerType::array)
        fatalError("Tried to close array but array not open");
    open_.pop_back();
    return token("]");
}

JSONPrintWriter& JSONPrintWriter::key(std::string_view name) {
    if (open_.empty() || open_.back().container != ContainerType::object)
        fatalError("Can only use 'key' in an object");
    Container& inner = open_.back();
    if (inner.state == State::key)
        fatalError("Attempted to add a 'key' in an inappropriate state");
    std::string text = inner.state == State::value ? "," : "";
    text += quoted(name);
    text += ':';
    inner.state = State::key;
    return token(text);
}

JSONPrintWriter& JSONPrintWriter::null() {
    beforeValue();
    return token("null");
}

JSONPrintWriter& JSONPrintWriter::value(const std::optional<std::string>& text) {
    beforeValue();
    return token(text ? quoted(*text) : "null");
}

JSONPrintWriter& JSONPrintWriter::value(std::optional<std::int64_t> number) {
    beforeValue();
    return token(number ? std::to_string(*number) : "null");
}

namespace {

template <class F> std::string shortest(F number) {
    if (!std::isfinite(number))
        return "null";
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
    return std::string(buffer, result.ptr);
}

} // namespace

JSONPrintWriter& JSONPrintWriter::value(float number) {
    beforeValue();
    return token(shortest(number));
}

JSONPrintWriter& JSONPrintWriter::value(double number) {
    beforeValue();
    return token(shortest(number));
}

JSONPrintWriter& JSONPrintWriter::value(bool flag) {
    beforeValue();
    return token(flag ? "true" : "false");
}

JSONPrintWriter& JSONPrintWriter::value(Date date) {
    beforeValue();
    return token(quoted(ISO8601String(date)));
}

void JSONPrintWriter::close() {
    if (!open_.empty())
        fatalError("Attempt to close JSONPrintWriter with unclosed elements");
    parent_->close();
}

} // namespace pemtrox
