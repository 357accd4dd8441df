#include "proxy/recording/FileOps.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Error.h"

namespace pemtrox {

int writeFully(int fd, const void* bytes, std::size_t count) {
    auto* p = static_cast<const char*>(bytes);
    while (count > 0) {
        ssize_t n = ::write(fd, p, count);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return EIO; // no progress and no error: give up rather than spin
        p += n;
        count -= static_cast<std::size_t>(n);
    }
    return 0;
}

void replaceFile(const std::filesystem::path& file, std::string_view bytes) {
    auto temporary = file.parent_path() / ("." + file.filename().string() + ".tmp");
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        systemError("open(" + temporary.string() + ")", errno)->raise();
    int err = writeFully(fd, bytes.data(), bytes.size());
    if (::close(fd) != 0 && err == 0 && errno != EINTR)
        err = errno;
    if (err == 0 && ::rename(temporary.c_str(), file.c_str()) != 0)
        err = errno;
    if (err != 0) {
        ::unlink(temporary.c_str());
        systemError("write(" + file.string() + ")", err)->raise();
    }
}

void touch(const std::filesystem::path& path) {
    ::utimensat(AT_FDCWD, path.c_str(), nullptr, 0);
}

} // namespace pemtrox
