#include "proxy/recording/RecordingStore.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "proxy/recording/FileOps.h"
#include "proxy/recording/RecordingError.h"

namespace pemtrox::RecordingStore {

double referenceTimestamp(std::chrono::system_clock::time_point time) {
    constexpr double unixOfReferenceDate = 978307200.0;
    return std::chrono::duration<double>(time.time_since_epoch()).count() - unixOfReferenceDate;
}

std::string directoryName(double initialTimestamp, std::int64_t counter) {
    char name[64];
    std::snprintf(name, sizeof name, "%015.0f-%010lld", initialTimestamp, static_cast<long long>(counter));
    return name;
}

std::int64_t bodyCap(const RecordingSettings& settings, bool tunnel, bool request) {
    if (tunnel && settings.recordPartialOpaqueBody)
        return opaqueBodyMaxSize;
    return std::max<std::int64_t>(0, request ? settings.requestBodyMaxSize : settings.responseBodyMaxSize);
}

void appendData(const std::filesystem::path& file, const Data& chunk, std::int64_t cap) {
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        systemError("open(" + file.string() + ")", errno)->raise();
    struct stat info {};
    int err = ::fstat(fd, &info) != 0 ? errno : 0;
    if (err == 0 && info.st_size < cap) {
        auto room = static_cast<std::uint64_t>(cap - info.st_size);
        err = writeFully(fd, chunk.data(),
                         static_cast<std::size_t>(std::min<std::uint64_t>(room, chunk.size())));
    }
    ::close(fd);
    if (err != 0)
        RecordingError::writeFailed(std::strerror(err)).raise();
}

ErrorPtr removeExchangeDirectory(const std::filesystem::path& root, const std::filesystem::path& directory) {
    auto name = directory.filename();
    if (directory.parent_path().lexically_normal() != root.lexically_normal() || name.empty() ||
        name == "." || name == "..")
        return makeError<GenericError>("not an exchange directory of the store: " + directory.string());
    std::error_code error;
    std::filesystem::remove_all(directory, error);
    if (error)
        return systemError("remove(" + directory.string() + ")", error.value());
    return nullptr;
}

} // namespace pemtrox::RecordingStore
