#include "proxy/recording/FileOps.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
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

void replaceThroughSpare(const FileAt& file, std::string_view bytes, const FileAt& spare, bool exists) {
    // No O_TRUNC: a truncation to nothing makes some file systems flush the file at close.
    int fd = ::openat(spare.directory, spare.name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        systemError("open(" + spare.path().string() + ")", errno)->raise();
    // Cut only what is left of a longer old content: a truncation is a journaled change of
    // the file, which a spare just made or as long as before does not need.
    struct stat info {};
    int err = ::fstat(fd, &info) != 0 ? errno : 0;
    if (err == 0)
        err = writeFully(fd, bytes.data(), bytes.size());
    if (err == 0 && info.st_size > static_cast<off_t>(bytes.size()) &&
        ::ftruncate(fd, static_cast<off_t>(bytes.size())) != 0)
        err = errno;
    if (::close(fd) != 0 && err == 0 && errno != EINTR)
        err = errno;
    bool swapped = false;
    if (err == 0 && exists) {
        swapped = ::renameat2(spare.directory, spare.name.c_str(), file.directory, file.name.c_str(),
                              RENAME_EXCHANGE) == 0;
        if (!swapped && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
            err = errno;
    }
    if (err == 0 && !swapped &&
        ::renameat(spare.directory, spare.name.c_str(), file.directory, file.name.c_str()) != 0)
        err = errno;
    if (err != 0) {
        ::unlinkat(spare.directory, spare.name.c_str(), 0);
        systemError("write(" + file.path().string() + ")", err)->raise();
    }
}

void touch(int fd) {
    ::futimens(fd, nullptr);
}

} // namespace pemtrox
