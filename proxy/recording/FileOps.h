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

/// Replaces the file's content as one step through a spare file on the same file system,
/// which may lie in another directory: the bytes go into the spare (made when missing), whose
/// name is then swapped with the file's when the file `exists`, so that the spare holds the old
/// content and is written over next time, or else renamed to the file. A reader or a crash
/// never finds the file torn, and the spare is the only temporary file. Where the file system
/// cannot swap names, the spare is renamed over the file. Throws the system's error; the spare
/// is removed then.
void replaceThroughSpare(const FileAt& file, std::string_view bytes, const FileAt& spare, bool exists);

/// Sets the modification (and access) time of an open file or directory to now; failures
/// are ignored.
void touch(int fd);

} // namespace pemtrox
