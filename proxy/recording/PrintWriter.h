#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/Error.h"
#include "proxy/recording/Writer.h"

namespace pemtrox {

/// A writer whose print operations never throw: a failure of the parent is kept in
/// error() (the latest one replacing the earlier) and the printing goes on.
class PrintWriter : public Writer {
public:
    explicit PrintWriter(std::shared_ptr<Writer> parent) : parent_(std::move(parent)) {}

    /// These forward to the parent and let its errors through.
    void close() override { parent_->close(); }
    void flush() override { parent_->flush(); }
    void write(std::string_view text) override { parent_->write(text); }

    void print(std::string_view text);
    void print(const char* text) { print(std::string_view(text)); }
    void print(char character) { print(std::string_view(&character, 1)); }
    /// Any value with a description() text.
    template <class T>
    requires requires(const T& value) { value.description(); }
    void print(const T& value) { print(std::string_view(value.description())); }

    /// The text, then a line feed; the line feed is left out when the text failed.
    void println(std::string_view text);
    void println(const char* text) { println(std::string_view(text)); }
    template <class T>
    requires requires(const T& value) { value.description(); }
    void println(const T& value) { println(std::string_view(value.description())); }
    void println() { print(std::string_view("\n")); }

    /// The last failure that a print operation swallowed.
    const ErrorPtr& error() const { return error_; }
    const std::shared_ptr<Writer>& parent() const { return parent_; }

private:
    bool tryWrite(std::string_view text);
    std::shared_ptr<Writer> parent_;
    ErrorPtr error_;
};

} // namespace pemtrox
