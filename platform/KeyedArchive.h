#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace pemtrox {

/// Writes the keyed archiver's binary property-list layout ($archiver, $version,
/// $top, $objects with UID references; index 0 is "$null"). Values are encoded
/// directly under top-level keys, in the order given.
class KeyedArchive {
public:
    using Bytes = std::vector<std::uint8_t>;
    /// A string object, a data object, or no object (encoded as a reference to $null).
    using Value = std::variant<std::monostate, std::string, Bytes>;

    void encode(const std::string& key, Value value);
    /// The binary property list.
    Bytes finish() const;
    /// Reads back the top-level entries of an archive made by finish(): absent values are
    /// monostate. Throws Error for bytes that are no such archive.
    static std::vector<std::pair<std::string, Value>> decode(const Bytes& archive);

private:
    std::vector<std::pair<std::string, Value>> entries_;
};

} // namespace pemtrox
