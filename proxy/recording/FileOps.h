#pragma once

#include <cstddef>
#include <filesystem>
#include <string_view>

namespace pemtrox {

/// Writes every byte, retrying after signals and short writes. Returns 0, or the errno of
/// the write that failed (bytes written before it stay written).
int writeFully(int fd, const void* bytes, std::size_t count);

/// Replaces the file's content as one step: the bytes go to a temporary file beside it
/// (mode 0600), which is then renamed over it, so a reader or a crash never sees a torn
/// file. Throws the system's error; the temporary file is removed then.
void replaceFile(const std::filesystem::path& file, std::string_view bytes);

/// Sets the modification (and access) time to now; failures are ignored.
void touch(const std::filesystem::path& path);

} // namespace pemtrox
