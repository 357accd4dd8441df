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

void replaceThroughTemporary(const FileAt& file, std::string_view bytes, const FileAt& temporary,
                             bool exists) {
    // A fresh file each time: the one renamed away may still be open in a reader, and what a
    // failed step left at the temporary name was never visible in the store.
    int fd =
        ::openat(temporary.directory, temporary.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST && ::unlinkat(temporary.directory, temporary.name.c_str(), 0) == 0)
        fd = ::openat(temporary.directory, temporary.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                      0600);
    if (fd < 0)
        systemError("open(" + temporary.path().string() + ")", errno)->raise();
    int err = writeFully(fd, bytes.data(), bytes.size());
    if (::close(fd) != 0 && err == 0 && errno != EINTR)
        err = errno;
    // Over a file that exists, the two names are swapped and the old file, now at the
    // temporary name, unlinked (a reader that holds it keeps reading it whole): a rename over
    // an existing file makes ext4 start writing the new file's data out at once (its
    // replace-by-rename heuristic), which slowed recorded small exchanges on a journaled ext4.
    // Where names cannot be swapped, the file is renamed over.
    bool swapped = false;
    if (err == 0 && exists) {
        swapped = ::renameat2(temporary.directory, temporary.name.c_str(), file.directory, file.name.c_str(),
                              RENAME_EXCHANGE) == 0;
        if (swapped)
            ::unlinkat(temporary.directory, temporary.name.c_str(), 0);
        else if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP && errno != ENOENT)
            err = errno;
    }
    if (err == 0 && !swapped &&
        ::renameat(temporary.directory, temporary.name.c_str(), file.directory, file.name.c_str()) != 0)
        err = errno;
    if (err != 0) {
        ::unlinkat(temporary.directory, temporary.name.c_str(), 0);
        systemError("write(" + file.path().string() + ")", err)->raise();
    }
}

void touch(int fd) {
    ::futimens(fd, nullptr);
}

} // namespace pemtrox
