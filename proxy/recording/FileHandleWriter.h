#pragma once

#include "proxy/recording/Writer.h"

namespace pemtrox {

/// The encodings a FileHandleWriter can write text in. Text is held as UTF-8; text that
/// is not well-formed UTF-8, or has a scalar the encoding lacks, cannot be written.
enum class StringEncoding { utf8, ascii, isoLatin1 };

/// Writes text to a file descriptor that it owns and closes (at close() or at the end).
class FileHandleWriter : public Writer {
public:
    FileHandleWriter(int fileDescriptor, StringEncoding encoding)
        : fd_(fileDescriptor), encoding_(encoding) {}
    ~FileHandleWriter() override;
    FileHandleWriter(const FileHandleWriter&) = delete;
    FileHandleWriter& operator=(const FileHandleWriter&) = delete;

    void close() override;
    void flush() override {}
    /// Throws WriterError when the encoding cannot represent the text (nothing is written
    /// then), or the system's error when the write fails.
    void write(std::string_view text) override;

private:
    int fd_;
    StringEncoding encoding_;
};

} // namespace pemtrox
