#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace pemtrox {

/// Writes every byte, retrying after signals and short writes. Returns 0, or the errno of
/// the write that failed (bytes written before it stay written).
int writeFully(int fd, const void* bytes, std::size_t count);

/// A file named relative to an open directory (AT_FDCWD for the working directory), with the
/// directory's path for messages: the files of the store are opened by short names from a
/// handle, not by walking the whole path each time.
struct FileAt {
    int directory;
    /// Relative to the directory: a name, or a name in one of its subdirectories.
    const std::string& name;
    const std::filesystem::path& base;

    /// The file's path, for messages.
    std::filesystem::path path() const { return base / name; }
};

/// Replaces the file's content as one step: the bytes go into a fresh file at `temporary` (on
/// the same file system, in another directory), which is then renamed over the file. No file
/// that was ever under the file's name is written again, so a reader that opened it reads the
/// content it opened, whole, however slowly it reads; neither a reader nor a crash of the
/// process finds the file torn. Nothing is flushed to the device (no fsync): after a power loss
/// or a crash of the system, a file may be found empty or short. A file left at `temporary` by
/// an earlier failure goes first. When the file `exists`, the names are swapped and the old
/// file unlinked instead of renamed over. Throws the system's error; the temporary file is
/// removed then.
void replaceThroughTemporary(const FileAt& file, std::string_view bytes, const FileAt& temporary,
                             bool exists);

/// Sets the modification (and access) time of an open file or directory to now; failures
/// are ignored.
void touch(int fd);

} // namespace pemtrox
