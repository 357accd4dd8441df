#include "proxy/recording/FileOps.h"

#include <cerrno>
#include <cstdio>
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

namespace {

std::filesystem::path temporaryFor(const std::filesystem::path& file) {
    return file.parent_path() / ("." + file.filename().string() + ".tmp");
}

} // namespace

void replaceFile(const std::filesystem::path& file, std::string_view bytes) {
    auto temporary = temporaryFor(file);
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

void replaceThroughSpare(const std::filesystem::path& file, std::string_view bytes,
                         const std::filesystem::path& spare) {
    // No O_TRUNC: a truncation to nothing makes some file systems flush the file at close.
    int fd = ::open(spare.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        systemError("open(" + spare.string() + ")", errno)->raise();
    int err = writeFully(fd, bytes.data(), bytes.size());
    if (err == 0 && ::ftruncate(fd, static_cast<off_t>(bytes.size())) != 0)
        err = errno;
    if (::close(fd) != 0 && err == 0 && errno != EINTR)
        err = errno;
    if (err == 0 && ::renameat2(AT_FDCWD, spare.c_str(), AT_FDCWD, file.c_str(), RENAME_EXCHANGE) != 0) {
        err = errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ? 0 : errno;
        if (err == 0 && ::rename(spare.c_str(), file.c_str()) != 0)
            err = errno;
    }
    if (err != 0) {
        ::unlink(spare.c_str());
        systemError("write(" + file.string() + ")", err)->raise();
    }
}

void touch(const std::filesystem::path& path) {
    ::utimensat(AT_FDCWD, path.c_str(), nullptr, 0);
}

} // namespace pemtrox
