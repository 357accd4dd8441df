#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pemtrox {

/// A compact JSON object built member by member in the order added, written in the form
/// the reading app's serialiser expects: texts in JSONStringForm::serialiser, integral
/// numbers without a fraction.
class JSONObject {
public:
    JSONObject& addString(std::string_view key, std::string_view value);
    JSONObject& addInteger(std::string_view key, std::int64_t value);
    /// Integral values as integers; NaN and infinities, which JSON cannot hold, as null.
    JSONObject& addNumber(std::string_view key, double value);
    JSONObject& addBool(std::string_view key, bool value);
    JSONObject& addObject(std::string_view key, const JSONObject& value);

    /// The object's text, "{...}".
    std::string text() const { return "{" + members_ + "}"; }

    /// The text of a number.
    static std::string number(double value);

private:
    JSONObject& add(std::string_view key, std::string_view valueText);
    std::string members_;
};

} // namespace pemtrox
