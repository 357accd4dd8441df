#include "proxy/recording/JSONObject.h"

#include <charconv>
#include <cmath>

#include "proxy/recording/JSONString.h"

namespace pemtrox {

namespace {

void appendInteger(std::string& out, std::int64_t value) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

} // namespace

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

void JSONObject::key(std::string_view key) {
    if (!empty_)
        text_ += ',';
    empty_ = false;
    appendQuotedJSONString(text_, key, JSONStringForm::serialiser);
    text_ += ':';
}

JSONObject& JSONObject::addString(std::string_view key, std::string_view value) {
    this->key(key);
    appendQuotedJSONString(text_, value, JSONStringForm::serialiser);
    return *this;
}

JSONObject& JSONObject::addInteger(std::string_view key, std::int64_t value) {
    this->key(key);
    appendInteger(text_, value);
    return *this;
}

JSONObject& JSONObject::addNumber(std::string_view key, double value) {
    this->key(key);
    if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 9007199254740992.0)
        appendInteger(text_, static_cast<std::int64_t>(value));
    else
        text_ += number(value);
    return *this;
}

JSONObject& JSONObject::addBool(std::string_view key, bool value) {
    this->key(key);
    text_ += value ? "true" : "false";
    return *this;
}

JSONObject& JSONObject::openObject(std::string_view key) {
    this->key(key);
    text_ += '{';
    ++depth_;
    empty_ = true;
    return *this;
}

JSONObject& JSONObject::closeObject() {
    if (depth_ > 1) {
        text_ += '}';
        --depth_;
        empty_ = false;
    }
    return *this;
}

std::string JSONObject::take() {
    text_.append(static_cast<std::size_t>(depth_), '}');
    depth_ = 0;
    return std::move(text_);
}

} // namespace pemtrox
