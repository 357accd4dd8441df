#pragma once

#include <cstdint>

#include "platform/Error.h"

namespace pemtrox {

/// A stack error code (err_t) that has no socket error of its own.
class TCPSocketError : public ErrorBase<TCPSocketError> {
public:
    static TCPSocketError errorCode(std::int8_t code) { return TCPSocketError(code); }
    std::int8_t code() const { return code_; }
    std::string description() const override;

    /// The error a stack code stands for: closed, reset by peer and aborted become the
    /// matching SocketError, every other code a TCPSocketError.
    static ErrorPtr translate(std::int8_t code);

private:
    explicit TCPSocketError(std::int8_t code) : code_(code) {}
    std::int8_t code_;
};

} // namespace pemtrox
