#pragma once

#include "platform/Error.h"

namespace pemtrox {

/// Failures of reading and decoding input streams. Reporting title "Input Error".
class InputStreamError : public ErrorBase<InputStreamError> {
public:
    enum class Kind {
        invalidChunkLength,
        invalidEndOfChunk,
        invalidTrailer,
        readMarkerNotSupported,
        eof,
        /// A read up to a marker found no marker within its maximum length.
        markerLimitExceeded,
    };

    explicit InputStreamError(Kind kind) : kind_(kind) {}
    static InputStreamError invalidChunkLength() { return InputStreamError(Kind::invalidChunkLength); }
    static InputStreamError invalidEndOfChunk() { return InputStreamError(Kind::invalidEndOfChunk); }
    static InputStreamError invalidTrailer() { return InputStreamError(Kind::invalidTrailer); }
    static InputStreamError readMarkerNotSupported() {
        return InputStreamError(Kind::readMarkerNotSupported);
    }
    static InputStreamError eof() { return InputStreamError(Kind::eof); }
    static InputStreamError markerLimitExceeded() { return InputStreamError(Kind::markerLimitExceeded); }

    static constexpr ErrorDomain domain{"InputStreamError"};
    const ErrorDomain* errorDomain() const override { return &domain; }
    int errorCase() const override { return static_cast<int>(kind_); }

    Kind kind() const { return kind_; }
    std::string description() const override;
    std::optional<std::string> errorTitle() const override { return "Input Error"; }
    bool operator==(const InputStreamError& other) const { return kind_ == other.kind_; }

    /// True when the error is an InputStreamError of that kind.
    static bool is(const ErrorPtr& error, Kind kind);

private:
    Kind kind_;
};

} // namespace pemtrox
