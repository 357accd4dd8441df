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

namespace {

// ".<name>.tmp" beside the file, which may be in a subdirectory of the handle's directory.
std::string temporaryFor(std::string_view name) {
    auto slash = name.rfind('/');
    auto cut = slash == std::string_view::npos ? 0 : slash + 1;
    std::string temporary;
    temporary.reserve(name.size() + 5);
    temporary.append(name.substr(0, cut)).append(".").append(name.substr(cut)).append(".tmp");
    return temporary;
}

// The spare's name, beside the file.
std::string spareFor(std::string_view name, std::string_view spare) {
    auto slash = name.rfind('/');
    auto cut = slash == std::string_view::npos ? 0 : slash + 1;
    std::string path;
    path.reserve(cut + spare.size());
    path.append(name.substr(0, cut)).append(spare);
    return path;
}

} // namespace

void replaceFile(const FileAt& file, std::string_view bytes) {
    auto temporary = temporaryFor(file.name);
    int fd = ::openat(file.directory, temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        systemError("open(" + (file.base / temporary).string() + ")", errno)->raise();
    int err = writeFully(fd, bytes.data(), bytes.size());
    if (::close(fd) != 0 && err == 0 && errno != EINTR)
        err = errno;
    if (err == 0 && ::renameat(file.directory, temporary.c_str(), file.directory, file.name.c_str()) != 0)
        err = errno;
    if (err != 0) {
        ::unlinkat(file.directory, temporary.c_str(), 0);
        systemError("write(" + file.path().string() + ")", err)->raise();
    }
}

void replaceThroughSpare(const FileAt& file, std::string_view bytes, std::string_view spareName) {
    auto spare = spareFor(file.name, spareName);
    // No O_TRUNC: a truncation to nothing makes some file systems flush the file at close.
    int fd = ::openat(file.directory, spare.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        systemError("open(" + (file.base / spare).string() + ")", errno)->raise();
    int err = writeFully(fd, bytes.data(), bytes.size());
    if (err == 0 && ::ftruncate(fd, static_cast<off_t>(bytes.size())) != 0)
        err = errno;
    if (::close(fd) != 0 && err == 0 && errno != EINTR)
        err = errno;
    if (err == 0 &&
        ::renameat2(file.directory, spare.c_str(), file.directory, file.name.c_str(), RENAME_EXCHANGE) != 0) {
        err = errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ? 0 : errno;
        if (err == 0 && ::renameat(file.directory, spare.c_str(), file.directory, file.name.c_str()) != 0)
            err = errno;
    }
    if (err != 0) {
        ::unlinkat(file.directory, spare.c_str(), 0);
        systemError("write(" + file.path().string() + ")", err)->raise();
    }
}

void touch(int fd) {
    ::futimens(fd, nullptr);
}

} // namespace pemtrox
