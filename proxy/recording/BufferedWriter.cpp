#include "proxy/recording/BufferedWriter.h"

#include "platform/UnicodeScalars.h"

namespace pemtrox {

void BufferedWriter::write(std::string_view text) {
    std::size_t scalars = scalarCount(text);
    if (bufScalars_ + scalars <= bufsiz_) {
        buf_ += text;
        bufScalars_ += scalars;
        return;
    }
    parent_->write(buf_); // even when empty, as the parent may count writes
    buf_.clear();
    bufScalars_ = 0;
    if (scalars > bufsiz_) {
        parent_->write(text);
    } else {
        buf_ = text;
        bufScalars_ = scalars;
    }
}

void BufferedWriter::flush() {
    if (!buf_.empty()) {
        parent_->write(buf_);
        buf_.clear();
        bufScalars_ = 0;
    }
    parent_->flush();
}

void BufferedWriter::close() {
    flush();
    parent_->close();
}

} // namespace pemtrox
