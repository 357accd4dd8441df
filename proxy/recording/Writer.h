#pragma once

#include <string_view>

namespace pemtrox {

/// A text sink. Each operation either completes or throws an Error; nothing is buffered
/// unless the sink says so.
class Writer {
public:
    virtual ~Writer() = default;
    virtual void close() = 0;
    virtual void flush() = 0;
    virtual void write(std::string_view text) = 0;
};

} // namespace pemtrox
