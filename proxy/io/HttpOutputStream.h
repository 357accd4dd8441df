#pragma once

#include "proxy/io/FilterOutputStream.h"

namespace pemtrox {

/// The output of a client or remote connection: a plain filter over the socket's stream.
class HttpOutputStream : public FilterOutputStream {
public:
    static std::shared_ptr<HttpOutputStream> make(std::shared_ptr<MyOutputStream> target);
    explicit HttpOutputStream(std::shared_ptr<MyOutputStream> target)
        : FilterOutputStream(std::move(target)) {}
};

} // namespace pemtrox
