#pragma once

#include "platform/Error.h"

namespace pemtrox {

/// Failures of output streams. No reporting title.
class OutputStreamError : public ErrorBase<OutputStreamError> {
public:
    enum class Kind { closed };

    explicit OutputStreamError(Kind kind) : kind_(kind) {}
    static OutputStreamError closed() { return OutputStreamError(Kind::closed); }

    static constexpr ErrorDomain domain{"OutputStreamError"};
    const ErrorDomain* errorDomain() const override { return &domain; }
    int errorCase() const override { return static_cast<int>(kind_); }

    Kind kind() const { return kind_; }
    std::string description() const override { return "The output stream is closed"; }
    bool operator==(const OutputStreamError& other) const { return kind_ == other.kind_; }

    /// True when the error is an OutputStreamError of that kind.
    static bool is(const ErrorPtr& error, Kind kind) {
        return isError(error, domain, static_cast<int>(kind));
    }

private:
    Kind kind_;
};

} // namespace pemtrox
