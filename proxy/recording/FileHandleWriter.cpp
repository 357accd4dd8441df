#include "proxy/recording/FileHandleWriter.h"

#include <cerrno>
#include <unistd.h>

#include "platform/UnicodeScalars.h"
#include "proxy/recording/FileOps.h"
#include "proxy/recording/WriterError.h"

namespace pemtrox {

namespace {

// The bytes of the text in the encoding, or nothing when a scalar cannot be represented.
bool encode(std::string_view text, StringEncoding encoding, std::string& out) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t start = pos;
        char32_t scalar = nextScalar(text, pos);
        if (scalar == replacementCharacter && text.substr(start, pos - start) != "\xEF\xBF\xBD")
            return false; // not well-formed UTF-8
        switch (encoding) {
        case StringEncoding::utf8:
            out.append(text.substr(start, pos - start));
            break;
        case StringEncoding::ascii:
            if (scalar > 0x7F)
                return false;
            out += static_cast<char>(scalar);
            break;
        case StringEncoding::isoLatin1:
            if (scalar > 0xFF)
                return false;
            out += static_cast<char>(scalar);
            break;
        }
    }
    return true;
}

} // namespace

FileHandleWriter::~FileHandleWriter() {
    if (fd_ >= 0)
        ::close(fd_);
}

void FileHandleWriter::close() {
    if (fd_ < 0)
        return;
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR)
        systemError("close", errno)->raise();
}

void FileHandleWriter::write(std::string_view text) {
    std::string bytes;
    if (!encode(text, encoding_, bytes))
        throw WriterError::stringCouldNotBeRepresentedUsingStringEncoding();
    if (fd_ < 0)
        systemError("write", EBADF)->raise();
    if (int err = writeFully(fd_, bytes.data(), bytes.size()))
        systemError("write", err)->raise();
}

} // namespace pemtrox
