#include "proxy/recording/JSONObject.h"

#include <charconv>
#include <cmath>

#include "proxy/recording/JSONString.h"

namespace pemtrox {

std::string JSONObject::number(double value) {
    if (!std::isfinite(value))
        return "null";
    // Integral values within the exact range of a double print as integers ("13", not "13.0").
    if (value == std::trunc(value) && std::fabs(value) < 9007199254740992.0)
        return std::to_string(static_cast<std::int64_t>(value));
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

JSONObject& JSONObject::add(std::string_view key, std::string_view valueText) {
    if (!members_.empty())
        members_ += ',';
    members_ += quotedJSONString(key, JSONStringForm::serialiser);
    members_ += ':';
    members_ += valueText;
    return *this;
}

JSONObject& JSONObject::addString(std::string_view key, std::string_view value) {
    return add(key, quotedJSONString(value, JSONStringForm::serialiser));
}

JSONObject& JSONObject::addInteger(std::string_view key, std::int64_t value) {
    return add(key, std::to_string(value));
}

JSONObject& JSONObject::addNumber(std::string_view key, double value) {
    return add(key, number(value));
}

JSONObject& JSONObject::addBool(std::string_view key, bool value) {
    return add(key, value ? "true" : "false");
}

JSONObject& JSONObject::addObject(std::string_view key, const JSONObject& value) {
    return add(key, value.text());
}

} // namespace pemtrox
