#pragma once

#include <exception>
#include <memory>
#include <optional>
#include <string>

namespace pemtrox {

/// A family of errors that callers tell apart (socket errors, stream errors, ...): one
/// object per family, compared by address, so an error is classified by the value it
/// carries rather than by asking its type.
struct ErrorDomain {
    const char* name;
};

/// Root of every error the system throws or hands to a completion.
/// `description()` is the text shown in logs and error pages; `errorTitle()` is the
/// title for error reports, absent for errors that do not offer one.
class Error : public std::exception {
public:
    ~Error() override = default;
    virtual std::string description() const = 0;
    virtual std::optional<std::string> errorTitle() const { return std::nullopt; }
    /// The error's family; null for errors nobody tells apart.
    virtual const ErrorDomain* errorDomain() const { return nullptr; }
    /// The error's case within its family, in the family's own numbering.
    virtual int errorCase() const { return 0; }
    /// A heap copy of the most-derived error, so an error caught by reference can be
    /// handed on to a completion that runs later.
    virtual std::shared_ptr<const Error> clone() const = 0;
    /// Throws a copy of the most-derived error.
    [[noreturn]] virtual void raise() const = 0;
    const char* what() const noexcept override;

private:
    mutable std::string what_;
};

using ErrorPtr = std::shared_ptr<const Error>;

/// Implements clone() and raise() for a concrete error type.
template <class Derived, class Base = Error> class ErrorBase : public Base {
public:
    using Base::Base;
    ErrorPtr clone() const override { return std::make_shared<Derived>(static_cast<const Derived&>(*this)); }
    [[noreturn]] void raise() const override { throw static_cast<const Derived&>(*this); }
};

/// An error with a fixed description (and optionally a title), for failures that carry
/// no further structure (system calls, foreign exceptions).
class GenericError : public ErrorBase<GenericError> {
public:
    explicit GenericError(std::string description, std::optional<std::string> title = std::nullopt)
        : description_(std::move(description)), title_(std::move(title)) {}
    std::string description() const override { return description_; }
    std::optional<std::string> errorTitle() const override { return title_; }

private:
    std::string description_;
    std::optional<std::string> title_;
};

/// Whether the error is present and of that family.
inline bool isError(const ErrorPtr& error, const ErrorDomain& domain) {
    return error && error->errorDomain() == &domain;
}
/// Whether the error is present, of that family and that case.
inline bool isError(const ErrorPtr& error, const ErrorDomain& domain, int errorCase) {
    return isError(error, domain) && error->errorCase() == errorCase;
}

/// Builds an error value of type T on the heap.
template <class T, class... Args> ErrorPtr makeError(Args&&... args) {
    return std::make_shared<T>(std::forward<Args>(args)...);
}

/// The error currently being handled in a catch block, as an ErrorPtr; foreign
/// exceptions become a GenericError with their what() text.
ErrorPtr currentError();

/// The description of an error, or "" for none.
std::string describe(const ErrorPtr& error);

/// A GenericError for the errno value, e.g. "open(/x): No such file or directory".
ErrorPtr systemError(const std::string& what, int errnum);

} // namespace pemtrox
