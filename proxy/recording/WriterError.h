#pragma once

#include "platform/Error.h"

namespace pemtrox {

/// Failures of the text sinks. Reporting title "Writer Error".
class WriterError : public ErrorBase<WriterError> {
public:
    enum class Kind { stringCouldNotBeRepresentedUsingStringEncoding };

    explicit WriterError(Kind kind) : kind_(kind) {}
    static WriterError stringCouldNotBeRepresentedUsingStringEncoding() {
        return WriterError(Kind::stringCouldNotBeRepresentedUsingStringEncoding);
    }

    Kind kind() const { return kind_; }
    std::string description() const override { return "Encountered string that couldn't be encoded"; }
    std::optional<std::string> errorTitle() const override { return "Writer Error"; }
    bool operator==(const WriterError& other) const { return kind_ == other.kind_; }

private:
    Kind kind_;
};

} // namespace pemtrox

template <> struct std::hash<pemtrox::WriterError> {
    std::size_t operator()(const pemtrox::WriterError& error) const noexcept {
        return static_cast<std::size_t>(error.kind());
    }
};
