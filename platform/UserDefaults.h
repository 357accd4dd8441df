#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace pemtrox {

/// The app group's user-defaults suite: one flat JSON object in "settings.json" in the
/// container, whose keys are the full dotted names ("sslSettings.include"). Values are the
/// property-list kinds JSON can hold: Booleans, numbers, texts, arrays and dictionaries; a
/// JSON null counts as no value. The reads convert as the platform's store does. The store is
/// a snapshot of the file taken when it is opened; re-open it to see later changes.
class UserDefaults {
public:
    static constexpr const char* fileName = "settings.json";

    /// An empty store: every key reads as absent.
    UserDefaults() = default;
    /// A store over the given values; anything but a JSON object gives an empty store.
    explicit UserDefaults(nlohmann::json values);

    /// Opens the suite in the container directory (its "settings.json").
    static UserDefaults suite(const std::filesystem::path& containerDirectory);
    /// Reads a settings file. A missing file is an empty store. A file that cannot be read,
    /// does not parse or does not hold a JSON object is an empty store and a warning naming the
    /// file and the reason; settings never stop the program.
    static UserDefaults fromFile(const std::filesystem::path& file);

    /// The stored value, or absent.
    std::optional<nlohmann::json> objectForKey(std::string_view key) const;
    /// A Boolean: false when absent; a number is true when non-zero; a text is true when,
    /// after leading blanks and an optional sign and zeros, it starts with "Y", "T" or a digit
    /// 1-9 in either case ("YES", "true", "1"); anything else is false.
    bool boolForKey(std::string_view key) const;
    /// An integer: 0 when absent or without an integer reading; a Boolean is 0 or 1; a
    /// fractional number is truncated toward zero; a text gives its leading decimal integer.
    /// Values beyond the 64-bit range are clamped to it.
    std::int64_t integerForKey(std::string_view key) const;
    /// A text: a stored text, or a number's decimal text; otherwise absent.
    std::optional<std::string> stringForKey(std::string_view key) const;
    /// A stored array, or absent.
    std::optional<nlohmann::json> arrayForKey(std::string_view key) const;
    /// A stored dictionary, or absent.
    std::optional<nlohmann::json> dictionaryForKey(std::string_view key) const;
    /// Absent when nothing is stored under the key, else boolForKey.
    std::optional<bool> optionalBool(std::string_view key) const;

private:
    const nlohmann::json* find(std::string_view key) const;
    nlohmann::json values_ = nlohmann::json::object();
};

} // namespace pemtrox
