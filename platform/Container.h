#pragma once

#include <filesystem>
#include <optional>

namespace pemtrox {

/// The app group container: a directory shared with the user's side of the program.
/// Chosen by setContainerDirectory (the host's --container), else $PEMTROX_CONTAINER,
/// else $XDG_DATA_HOME/pemtrox, else ~/.local/share/pemtrox.
class Container {
public:
    static void setDirectory(std::filesystem::path directory);
    /// The container directory, created (mode 0700) on first use; absent when none can
    /// be determined or created.
    static std::optional<std::filesystem::path> directory();
    /// The per-user cache directory: $XDG_CACHE_HOME/pemtrox, else ~/.cache/pemtrox.
    static std::optional<std::filesystem::path> cachesDirectory();
};

} // namespace pemtrox
