#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "proxy/recording/Writer.h"

namespace pemtrox {

/// Gathers text up to a capacity counted in Unicode scalars before passing it on; a text
/// longer than the capacity goes to the parent directly.
class BufferedWriter : public Writer {
public:
    BufferedWriter(std::shared_ptr<Writer> parent, std::size_t bufsiz)
        : parent_(std::move(parent)), bufsiz_(bufsiz) {}

    /// Flushes, then closes the parent.
    void close() override;
    /// Passes on what is buffered (kept when the parent throws), then flushes the parent.
    void flush() override;
    void write(std::string_view text) override;

    const std::string& buffered() const { return buf_; }

private:
    std::shared_ptr<Writer> parent_;
    std::string buf_;
    std::size_t bufScalars_ = 0;
    std::size_t bufsiz_;
};

} // namespace pemtrox
