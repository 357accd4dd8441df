#pragma once

#include <cstdint>
#include <filesystem>

#include "proxy/io/Data.h"

namespace pemtrox {

/// One body file of an exchange, kept open while it can still grow: pieces are appended
/// without opening the file for each. It holds at most the cap (the cap of each call), and
/// exactly the cap once more bytes have passed; after a failed write it takes nothing more,
/// so the file never has a gap.
class BodyFile {
public:
    explicit BodyFile(std::filesystem::path file) : file_(std::move(file)) {}
    ~BodyFile() { close(); }
    BodyFile(const BodyFile&) = delete;
    BodyFile& operator=(const BodyFile&) = delete;

    /// Appends what fits of the chunk below the cap, opening the file (mode 0600, made when
    /// missing) at the first call, even for an empty chunk. Throws the system's error when
    /// the file cannot be opened, RecordingError::writeFailed when the write fails.
    void append(const Data& chunk, std::int64_t cap);
    /// Closes the file; a later append opens it again.
    void close();

private:
    const std::filesystem::path file_;
    int fd_ = -1;
    /// The file's length, known once it has been opened.
    std::int64_t size_ = -1;
    bool failed_ = false;
};

} // namespace pemtrox
