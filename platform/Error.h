#pragma once

#include <exception>
#include <memory>
#include <optional>
#include <string>

namespace pemtrox {

/// Root of every error the system throws or hands to a completion.
/// `description()` is the text shown in logs and error pages; `errorTitle()` is the
/// title for error reports, absent for errors that do not offer one.
class Error : public std::exception {
public:
    ~Error() override = default;
    virtual std::string description() const = 0;
    virtual std::optional<std::string> errorTitle() const { return std::nullopt; }
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
