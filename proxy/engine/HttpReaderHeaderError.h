#pragma once

#include "platform/Error.h"

namespace pemtrox {

/// The first bytes of a CONNECT tunnel are not an HTTP request: the tunnel is copied as
/// opaque bytes. No reporting title.
class HttpReaderHeaderError : public ErrorBase<HttpReaderHeaderError> {
public:
    static HttpReaderHeaderError notValidHeader() { return {}; }
    std::string description() const override { return "Not a valid HTTP header"; }
};

} // namespace pemtrox
