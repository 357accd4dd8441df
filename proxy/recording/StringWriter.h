#pragma once

#include <string>

#include "proxy/recording/Writer.h"

namespace pemtrox {

/// Collects the text in memory.
class StringWriter : public Writer {
public:
    /// Everything written so far; may be replaced.
    std::string string;

    void close() override {}
    void flush() override {}
    void write(std::string_view text) override { string += text; }
};

} // namespace pemtrox
