#pragma once

#include "platform/Error.h"

namespace pemtrox {

/// The first bytes of a CONNECT tunnel are not an HTTP request: the tunnel is copied as
/// opaque bytes. No reporting title.
class HttpReaderHeaderError : public ErrorBase<HttpReaderHeaderError> {
public:
    static HttpReaderHeaderError notValidHeader() { return {}; }
    std::string description() const override { return "Not a valid HTTP header"; }

    static constexpr ErrorDomain domain{"HttpReaderHeaderError"};
    const ErrorDomain* errorDomain() const override { return &domain; }
    static bool is(const ErrorPtr& error) { return isError(error, domain); }
};

} // namespace pemtrox
