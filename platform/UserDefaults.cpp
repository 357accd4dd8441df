#include "platform/UserDefaults.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>

#include "platform/Log.h"

namespace pemtrox {

namespace {

using json = nlohmann::json;

constexpr std::int64_t int64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t int64Min = std::numeric_limits<std::int64_t>::min();

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// The platform's Boolean reading of a text: leading blanks, then an optional sign and zeros,
// then "Y", "T" or a digit 1-9 (either case) means true; trailing characters are ignored.
bool textBool(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && isBlank(text[i]))
        ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    while (i < text.size() && text[i] == '0')
        ++i;
    if (i == text.size())
        return false;
    char c = text[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

// The platform's integer reading of a text: leading blanks, an optional sign, then decimal
// digits up to the first other character; clamped to the 64-bit range.
std::int64_t textInteger(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && isBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    // Accumulate as a negative number so that the smallest value fits.
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        int digit = text[i] - '0';
        if (value < (int64Min + digit) / 10)
            return negative ? int64Min : int64Max;
        value = value * 10 - digit;
    }
    if (negative)
        return value;
    return value == int64Min ? int64Max : -value;
}

std::int64_t doubleInteger(double value) {
    if (std::isnan(value))
        return 0;
    // 2^63 is exact as a double; anything at or beyond it does not fit.
    if (value >= 9223372036854775808.0)
        return int64Max;
    if (value <= -9223372036854775808.0)
        return int64Min;
    return static_cast<std::int64_t>(value); // truncates toward zero
}

} // namespace

UserDefaults::UserDefaults(json values) {
    if (values.is_object())
        values_ = std::move(values);
}

UserDefaults UserDefaults::suite(const std::filesystem::path& containerDirectory) {
    return fromFile(containerDirectory / fileName);
}

UserDefaults UserDefaults::fromFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        int err = errno;
        if (err != ENOENT)
            LOG_WARNING("Failed to read settings from \"{}\": {}", file.string(), std::strerror(err));
        return {};
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        LOG_WARNING("Failed to read settings from \"{}\": read error", file.string());
        return {};
    }
    json values;
    try {
        values = json::parse(text.str());
    } catch (const json::exception& e) {
        LOG_WARNING("Failed to read settings from \"{}\": {}", file.string(), e.what());
        return {};
    }
    if (!values.is_object()) {
        LOG_WARNING("Failed to read settings from \"{}\": the file does not hold a JSON object",
                    file.string());
        return {};
    }
    return UserDefaults(std::move(values));
}

const json* UserDefaults::find(std::string_view key) const {
    auto it = values_.find(std::string(key));
    if (it == values_.end() || it->is_null())
        return nullptr;
    return &*it;
}

std::optional<json> UserDefaults::objectForKey(std::string_view key) const {
    if (auto value = find(key))
        return *value;
    return std::nullopt;
}

bool UserDefaults::boolForKey(std::string_view key) const {
    auto value = find(key);
    if (!value)
        return false;
    switch (value->type()) {
    case json::value_t::boolean:
        return value->get<bool>();
    case json::value_t::number_integer:
        return value->get<std::int64_t>() != 0;
    case json::value_t::number_unsigned:
        return value->get<std::uint64_t>() != 0;
    case json::value_t::number_float:
        return value->get<double>() != 0.0;
    case json::value_t::string:
        return textBool(value->get_ref<const std::string&>());
    default:
        return false;
    }
}

std::int64_t UserDefaults::integerForKey(std::string_view key) const {
    auto value = find(key);
    if (!value)
        return 0;
    switch (value->type()) {
    case json::value_t::boolean:
        return value->get<bool>() ? 1 : 0;
    case json::value_t::number_integer:
        return value->get<std::int64_t>();
    case json::value_t::number_unsigned: {
        auto u = value->get<std::uint64_t>();
        return u > static_cast<std::uint64_t>(int64Max) ? int64Max : static_cast<std::int64_t>(u);
    }
    case json::value_t::number_float:
        return doubleInteger(value->get<double>());
    case json::value_t::string:
        return textInteger(value->get_ref<const std::string&>());
    default:
        return 0;
    }
}

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) const {
    auto value = find(key);
    if (!value)
        return std::nullopt;
    if (value->is_string())
        return value->get<std::string>();
    if (value->is_boolean())
        return value->get<bool>() ? "1" : "0";
    if (value->is_number())
        return value->dump();
    return std::nullopt;
}

std::optional<json> UserDefaults::arrayForKey(std::string_view key) const {
    auto value = find(key);
    if (value && value->is_array())
        return *value;
    return std::nullopt;
}

std::optional<json> UserDefaults::dictionaryForKey(std::string_view key) const {
    auto value = find(key);
    if (value && value->is_object())
        return *value;
    return std::nullopt;
}

std::optional<bool> UserDefaults::optionalBool(std::string_view key) const {
    if (!find(key))
        return std::nullopt;
    return boolForKey(key);
}

} // namespace pemtrox
