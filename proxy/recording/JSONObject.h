#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pemtrox {

/// A compact JSON object written member by member, in the order added, straight into one
/// text (nested objects too, between openObject and closeObject), in the form the reading
/// app's serialiser expects: texts in JSONStringForm::serialiser, integral numbers without a
/// fraction.
class JSONObject {
public:
    JSONObject() : text_("{") {}
    /// Writes the object into the room of `buffer`, whose content goes.
    explicit JSONObject(std::string buffer) : text_(std::move(buffer)) {
        text_.clear();
        text_ += '{';
    }

    JSONObject& addString(std::string_view key, std::string_view value);
    JSONObject& addInteger(std::string_view key, std::int64_t value);
    /// Integral values as integers; NaN and infinities, which JSON cannot hold, as null.
    JSONObject& addNumber(std::string_view key, double value);
    JSONObject& addBool(std::string_view key, bool value);
    /// Starts a member holding an object: the members added next go into it until
    /// closeObject().
    JSONObject& openObject(std::string_view key);
    JSONObject& closeObject();

    /// The object's text, "{...}", with any object still open closed.
    std::string text() const { return text_ + std::string(static_cast<std::size_t>(depth_), '}'); }
    /// As text(), giving the object's own text away instead of copying it: the object is
    /// spent afterwards.
    std::string take();
    /// Room for a text of this length, so that adding members does not grow it step by step.
    void reserve(std::size_t size) { text_.reserve(size); }

    /// The text of a number.
    static std::string number(double value);

private:
    /// Writes the separator and the key: the value follows.
    void key(std::string_view key);
    std::string text_;
    /// Objects open, the outermost one included.
    int depth_ = 1;
    /// Whether the innermost open object has no member yet.
    bool empty_ = true;
};

} // namespace pemtrox
