#pragma once

#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <string_view>

#include "proxy/io/Data.h"

namespace pemtrox {

/// One body file of an exchange, kept open while it can still grow: pieces are appended
/// without opening the file for each. It holds at most the cap (the cap of each call), and
/// exactly the cap once more bytes have passed; after a failed write it takes nothing more,
/// so the file never has a gap.
/// At most `keptOpenLimit` body files of the process stay open between appends: with
/// thousands of exchanges recorded at once, a descriptor each would take those the
/// connections need. Past it, a file is opened for each append and closed after it.
class BodyFile {
public:
    /// The file at `name` relative to the open directory `directory` (AT_FDCWD: the working
    /// directory); `base`, the directory's path, names it in messages.
    BodyFile(int directory, std::string name, std::filesystem::path base = {})
        : directory_(directory), name_(std::move(name)), base_(std::move(base)) {}
    explicit BodyFile(const std::filesystem::path& file) : BodyFile(AT_FDCWD, file.string()) {}
    ~BodyFile() { close(); }
    BodyFile(const BodyFile&) = delete;
    BodyFile& operator=(const BodyFile&) = delete;

    /// Appends what fits of the chunk below the cap, opening the file (mode 0600, made when
    /// missing) at the first call, even for an empty chunk. Throws the system's error when
    /// the file cannot be opened, RecordingError::writeFailed when the write fails.
    void append(std::string_view chunk, std::int64_t cap);
    void append(const Data& chunk, std::int64_t cap) {
        append(std::string_view(reinterpret_cast<const char*>(chunk.data()), chunk.size()), cap);
    }
    /// Closes the file; a later append opens it again.
    void close();
    /// The file's directory was renamed: later opens find it at `name` relative to `directory`.
    /// A file kept open stays so.
    void moveTo(int directory, std::string name, std::filesystem::path base) {
        directory_ = directory;
        name_ = std::move(name);
        base_ = std::move(base);
    }

    static constexpr int keptOpenLimit = 256;
    /// How many body files are open between appends now.
    static int keptOpen();

private:
    int directory_;
    std::string name_;
    std::filesystem::path base_;
    int fd_ = -1;
    /// The file's length, known once it has been opened.
    std::int64_t size_ = -1;
    bool failed_ = false;
    bool kept_ = false; // counted among the files kept open
};

} // namespace pemtrox
