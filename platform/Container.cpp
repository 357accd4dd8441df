#include "platform/Container.h"

#include <cstdlib>
#include <mutex>

#include <sys/stat.h>

namespace pemtrox {

namespace {

std::mutex mutex;
std::optional<std::filesystem::path> configured;

std::optional<std::filesystem::path> fromEnvironment(const char* xdgVariable, const char* homeRelative) {
    if (const char* xdg = std::getenv(xdgVariable); xdg && *xdg)
        return std::filesystem::path(xdg) / "pemtrox";
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::filesystem::path(home) / homeRelative / "pemtrox";
    return std::nullopt;
}

std::optional<std::filesystem::path> ensure(std::optional<std::filesystem::path> dir) {
    if (!dir)
        return std::nullopt;
    std::error_code ec;
    if (!std::filesystem::is_directory(*dir, ec)) {
        std::filesystem::create_directories(*dir, ec);
        if (ec)
            return std::nullopt;
        ::chmod(dir->c_str(), 0700);
    }
    return std::filesystem::absolute(*dir, ec);
}

} // namespace

void Container::setDirectory(std::filesystem::path directory) {
    std::lock_guard lock(mutex);
    configured = std::move(directory);
}

std::optional<std::filesystem::path> Container::directory() {
    std::optional<std::filesystem::path> dir;
    {
        std::lock_guard lock(mutex);
        dir = configured;
    }
    if (!dir) {
        if (const char* env = std::getenv("PEMTROX_CONTAINER"); env && *env)
            dir = std::filesystem::path(env);
        else
            dir = fromEnvironment("XDG_DATA_HOME", ".local/share");
    }
    return ensure(dir);
}

std::optional<std::filesystem::path> Container::cachesDirectory() {
    return ensure(fromEnvironment("XDG_CACHE_HOME", ".cache"));
}

} // namespace pemtrox
