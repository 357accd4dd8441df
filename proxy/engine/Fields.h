#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "proxy/io/Data.h"
#include "proxy/io/ISO8601.h"

namespace pemtrox {

/// One header field: the name as received, the value trimmed of white space.
struct Field {
    std::string name;
    std::string value;
    bool operator==(const Field&) const = default;
};

/// For test failure messages.
inline std::ostream& operator<<(std::ostream& out, const Field& field) {
    return out << field.name << ": " << field.value;
}

/// The header fields of one message head, in arrival order, filled line by line. Names
/// are looked up ignoring case; duplicate names stay separate entries.
///
/// Head limits: a line of more than `maxLineLength` bytes (line end excluded), a head of
/// more than `maxHeadSize` bytes or more than `maxFieldCount` fields fails with a
/// FieldsError, so one peer cannot grow our memory without bound.
class Fields {
public:
    static constexpr std::size_t maxLineLength = 16 * 1024;
    static constexpr std::int64_t maxHeadSize = 64 * 1024;
    static constexpr std::size_t maxFieldCount = 256;

    Fields() = default;
    /// Copies the field list only: no receive time, size 0, no field open.
    Fields(const Fields& other) : fields(other.fields) {}
    Fields& operator=(const Fields&) = delete;
    virtual ~Fields() = default;

    /// Splits the text at every CRLF and adds the pieces until the head is complete.
    /// Throws FieldsError.
    static std::shared_ptr<Fields> fromString(std::string_view text);

    /// When the first non-empty line of the head arrived.
    std::optional<Date> receiveTime;
    /// Bytes of the head counted so far: first line, field and continuation lines and
    /// the closing blank line, line ends included; skipped blank lines are not counted.
    std::int64_t rawSize = 0;
    /// Changed in place by the engine (insert, replace, remove).
    std::vector<Field> fields;

    /// Adds one raw line (normally ending in CRLF). True when it was the blank line that
    /// completes the head. Throws FieldsError.
    virtual bool addLine(std::string_view rawLine);
    bool addLine(const Data& rawLine) {
        return addLine(std::string_view(reinterpret_cast<const char*>(rawLine.data()), rawLine.size()));
    }
    /// Each field as "name: value\r\n", then "\r\n".
    virtual std::string headerText() const;
    std::string description() const { return headerText(); }
    /// The index of the first field with that name, ignoring case.
    std::optional<std::size_t> indexOfField(std::string_view name) const;
    /// The value of the first field with that name, ignoring case.
    std::optional<std::string_view> value(std::string_view name) const;
    /// Whether the first field with that name has exactly that value, ignoring case.
    bool valueIs(std::string_view name, std::string_view expected) const;
    /// The first field with that name read as a decimal integer (optional sign); absent
    /// when missing, empty or not entirely a number. Later fields are not considered.
    std::optional<std::int64_t> intValue(std::string_view name) const;
    /// A new store of the same class with the field list (and first line) copied.
    virtual std::shared_ptr<Fields> copy() const;

protected:
    /// Counts a line into rawSize, enforcing the head limit.
    void countRaw(std::size_t bytes);
    /// The line without its CRLF, checked for length, encoding and stray bytes.
    static std::string_view checkedLine(std::string_view rawLine);

private:
    void closeOpenField();
    std::optional<std::string> currentKey_;
    std::optional<std::string> currentValue_;
};

} // namespace pemtrox
