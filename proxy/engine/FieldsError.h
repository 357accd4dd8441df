#pragma once

#include <cstddef>
#include <string>

#include "platform/Error.h"

namespace pemtrox {

/// A message head that cannot be read or parsed. Reporting title "Headers Error".
class FieldsError : public ErrorBase<FieldsError> {
public:
    enum class Kind {
        invalidFirstLine,
        unexpectedFieldContinuation,
        brokenHeaderLine,
        unsupportedCharacterEncoding,
        noFirstLine,
        /// A line longer than the line limit.
        lineTooLong,
        /// A head larger than the head limit.
        headerTooLarge,
        /// More fields than the field limit.
        tooManyFields,
        /// A bare CR, a bare LF or a NUL inside a line: the server could read such a
        /// line differently from us, so the head is refused.
        invalidCharacter,
    };

    static FieldsError invalidFirstLine(std::string firstLine) {
        return FieldsError(Kind::invalidFirstLine, std::move(firstLine));
    }
    static FieldsError unexpectedFieldContinuation() {
        return FieldsError(Kind::unexpectedFieldContinuation);
    }
    static FieldsError brokenHeaderLine() { return FieldsError(Kind::brokenHeaderLine); }
    static FieldsError unsupportedCharacterEncoding() {
        return FieldsError(Kind::unsupportedCharacterEncoding);
    }
    static FieldsError noFirstLine() { return FieldsError(Kind::noFirstLine); }
    static FieldsError lineTooLong(std::size_t limit) { return FieldsError(Kind::lineTooLong, {}, limit); }
    static FieldsError headerTooLarge(std::size_t limit) {
        return FieldsError(Kind::headerTooLarge, {}, limit);
    }
    static FieldsError tooManyFields(std::size_t limit) {
        return FieldsError(Kind::tooManyFields, {}, limit);
    }
    static FieldsError invalidCharacter() { return FieldsError(Kind::invalidCharacter); }

    static constexpr ErrorDomain domain{"FieldsError"};
    const ErrorDomain* errorDomain() const override { return &domain; }
    int errorCase() const override { return static_cast<int>(kind_); }
    /// Whether the error is a FieldsError (of any case).
    static bool is(const ErrorPtr& error) { return isError(error, domain); }

    Kind kind() const { return kind_; }
    /// The line of invalidFirstLine.
    const std::string& firstLine() const { return firstLine_; }
    /// The limit that a head exceeded.
    std::size_t limit() const { return limit_; }

    std::string description() const override;
    std::optional<std::string> errorTitle() const override { return "Headers Error"; }

private:
    explicit FieldsError(Kind kind, std::string firstLine = {}, std::size_t limit = 0)
        : kind_(kind), firstLine_(std::move(firstLine)), limit_(limit) {}
    Kind kind_;
    std::string firstLine_;
    std::size_t limit_;
};

} // namespace pemtrox
