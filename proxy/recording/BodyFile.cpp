#include "proxy/recording/BodyFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "platform/Error.h"
#include "proxy/recording/FileOps.h"
#include "proxy/recording/RecordingError.h"

namespace pemtrox {

namespace {
std::atomic<int> keptOpenFiles{0};
} // namespace

int BodyFile::keptOpen() {
    return keptOpenFiles.load(std::memory_order_relaxed);
}

void BodyFile::append(std::string_view chunk, std::int64_t cap) {
    if (failed_)
        return;
    if (fd_ < 0) {
        // A full file needs no descriptor, unless the cap has grown since.
        if (size_ >= 0 && size_ >= cap)
            return;
        fd_ = ::openat(directory_, name_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd_ < 0) {
            failed_ = true;
            systemError("open(" + (base_ / name_).string() + ")", errno)->raise();
        }
        struct stat info {};
        if (::fstat(fd_, &info) != 0) {
            int err = errno;
            close();
            failed_ = true;
            RecordingError::writeFailed(std::strerror(err)).raise();
        }
        size_ = info.st_size;
        kept_ = keptOpenFiles.fetch_add(1, std::memory_order_relaxed) < keptOpenLimit;
        if (!kept_)
            keptOpenFiles.fetch_sub(1, std::memory_order_relaxed);
    }
    if (size_ < cap) {
        auto count = static_cast<std::size_t>(
            std::min<std::uint64_t>(static_cast<std::uint64_t>(cap - size_), chunk.size()));
        if (int err = writeFully(fd_, chunk.data(), count)) {
            close();
            failed_ = true;
            RecordingError::writeFailed(std::strerror(err)).raise();
        }
        size_ += static_cast<std::int64_t>(count);
    }
    if (size_ >= cap || !kept_)
        close();
}

void BodyFile::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    if (std::exchange(kept_, false))
        keptOpenFiles.fetch_sub(1, std::memory_order_relaxed);
}

} // namespace pemtrox
