#pragma once

#include <string>

#include "platform/Error.h"

namespace pemtrox {

/// An error that chooses the handler's reply itself: drop the connection without a
/// reply, or answer 403 "Forbidden" instead of the default 503 page. The block list's
/// error adopts it: `class BlockListToolError : public ErrorBase<BlockListToolError,
/// VornellHttpErrorError>`.
class VornellHttpErrorError : public Error {
public:
    /// No reply is written; the client connection is just ended.
    virtual bool dropsConnection() const = 0;
    /// The error page carries 403 "Forbidden" instead of 503 "Service Unavailable".
    virtual bool respondsForbidden() const = 0;

    /// Such errors form one family, whose case is the reply they choose (the flags below),
    /// so the handler reads the choice off any error without asking its type.
    static constexpr ErrorDomain domain{"VornellHttpErrorError"};
    static constexpr int dropsConnectionFlag = 1;
    static constexpr int respondsForbiddenFlag = 2;
    const ErrorDomain* errorDomain() const final { return &domain; }
    int errorCase() const final {
        return (dropsConnection() ? dropsConnectionFlag : 0) |
               (respondsForbidden() ? respondsForbiddenFlag : 0);
    }
};

/// True only for an error that adopts VornellHttpErrorError and asks to drop the connection.
bool shouldDropConnection(const ErrorPtr& error);
/// False only for an error that adopts VornellHttpErrorError and is forbidden.
bool useServiceUnavailable(const ErrorPtr& error);
/// The error's reporting title, else "An error occurred".
std::string reportingTitle(const ErrorPtr& error);

} // namespace pemtrox
