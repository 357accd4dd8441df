#pragma once

#include <string>

#include "platform/Error.h"

namespace pemtrox {

/// An error of the asynchronous socket layer: either one of its own codes or a system
/// error number (the POSIX domain), with the platform's text as description.
class AsyncSocketError : public ErrorBase<AsyncSocketError> {
public:
    enum class Domain { socket, posix };
    /// The socket layer's own codes; the numbers are part of its contract (4 and 7 are
    /// mapped by the sockets above it).
    enum Code : int {
        noError = 0,
        badConfig = 1,
        badParam = 2,
        connectTimeout = 3,
        readTimeout = 4,
        writeTimeout = 5,
        readMaxedOut = 6,
        closed = 7,
        other = 8,
    };

    /// One of the layer's own errors, with its standard text.
    static AsyncSocketError socket(Code code);
    /// One of the layer's own errors with a text of the caller's.
    static AsyncSocketError socket(Code code, std::string message);
    /// A system error number with strerror's text.
    static AsyncSocketError posix(int errnum);

    Domain domain() const { return domain_; }
    int code() const { return code_; }
    /// The two domains as error families, the code as the case.
    static constexpr ErrorDomain socketErrors{"AsyncSocketError"};
    static constexpr ErrorDomain posixErrors{"POSIX"};
    const ErrorDomain* errorDomain() const override {
        return domain_ == Domain::socket ? &socketErrors : &posixErrors;
    }
    int errorCase() const override { return code_; }
    std::string description() const override { return message_; }

private:
    AsyncSocketError(Domain domain, int code, std::string message)
        : domain_(domain), code_(code), message_(std::move(message)) {}
    Domain domain_;
    int code_;
    std::string message_;
};

} // namespace pemtrox
