#pragma once

#include "platform/Error.h"

namespace pemtrox {

/// Failures of output streams. No reporting title.
class OutputStreamError : public ErrorBase<OutputStreamError> {
public:
    enum class Kind { closed };

    explicit OutputStreamError(Kind kind) : kind_(kind) {}
    static OutputStreamError closed() { return OutputStreamError(Kind::closed); }

    Kind kind() const { return kind_; }
    std::string description() const override { return "The output stream is closed"; }
    bool operator==(const OutputStreamError& other) const { return kind_ == other.kind_; }

    /// True when the error is an OutputStreamError of that kind.
    static bool is(const ErrorPtr& error, Kind kind) {
        auto* e = dynamic_cast<const OutputStreamError*>(error.get());
        return e && e->kind() == kind;
    }

private:
    Kind kind_;
};

} // namespace pemtrox
