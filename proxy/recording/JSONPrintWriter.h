#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "proxy/io/ISO8601.h"
#include "proxy/recording/PrintWriter.h"

namespace pemtrox {

/// Writes compact JSON token by token to a PrintWriter, whose error() keeps any sink
/// failure. Misplaced keys, values and closings are programmer errors and abort. Every
/// builder returns the writer so that calls chain.
class JSONPrintWriter {
public:
    explicit JSONPrintWriter(std::shared_ptr<PrintWriter> parent) : parent_(std::move(parent)) {}

    /// Aborts when a container is still open; closes the print writer (errors pass).
    void close();
    void flush() { parent_->flush(); }

    JSONPrintWriter& object();
    JSONPrintWriter& endObject();
    JSONPrintWriter& array();
    JSONPrintWriter& endArray();
    JSONPrintWriter& key(std::string_view name);
    JSONPrintWriter& null();
    JSONPrintWriter& value(const std::optional<std::string>& text);
    JSONPrintWriter& value(std::string_view text) { return value(std::optional<std::string>(text)); }
    JSONPrintWriter& value(const char* text) { return value(std::string_view(text)); }
    JSONPrintWriter& value(std::optional<std::int64_t> number);
    JSONPrintWriter& value(int number) { return value(std::optional<std::int64_t>(number)); }
    JSONPrintWriter& value(std::int64_t number) { return value(std::optional<std::int64_t>(number)); }
    /// The shortest text that reads back as the same number; NaN and infinities as null,
    /// since JSON has no form for them.
    JSONPrintWriter& value(float number);
    JSONPrintWriter& value(double number);
    JSONPrintWriter& value(bool flag);
    /// The ISO 8601 text in the local time zone.
    JSONPrintWriter& value(Date date);
    /// Any value with a description() text, or null.
    template <class T>
    requires requires(const T& v) { v.description(); }
    JSONPrintWriter& value(const T* describable) {
        return value(describable ? std::optional<std::string>(describable->description()) : std::nullopt);
    }

    /// The quoted, escaped form of a text as this writer writes it.
    static std::string quoted(std::string_view text);

private:
    enum class ContainerType { object, array };
    enum class State { initial, key, value };
    struct Container {
        ContainerType container;
        State state;
    };
    void beforeValue();
    JSONPrintWriter& token(std::string_view text);

    std::shared_ptr<PrintWriter> parent_;
    std::vector<Container> open_;
};

} // namespace pemtrox
