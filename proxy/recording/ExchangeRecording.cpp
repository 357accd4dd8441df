#include "proxy/recording/ExchangeRecording.h"

#include <cerrno>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Error.h"
#include "proxy/recording/FileOps.h"
#include "proxy/recording/RecordingStore.h"

namespace pemtrox {

void ExchangeRecording::useTemporaries(std::shared_ptr<const StoreRoot> temporary, std::string file,
                                       std::string directory) {
    temporary_ = std::move(temporary);
    temporaryFile_ = std::move(file);
    temporaryDirectory_ = std::move(directory);
}

bool ExchangeRecording::makeTemporaryDirectory() {
    if (!temporary_) {
        errno = ENOENT;
        return false;
    }
    if (::mkdirat(temporary_->handle.get(), temporaryDirectory_.c_str(), 0700) != 0)
        return false;
    std::lock_guard lock(placeMutex_);
    root_ = temporary_;
    name_ = temporaryDirectory_;
    return true;
}

int ExchangeRecording::moveInto(std::shared_ptr<const StoreRoot> root, std::string name) {
    if (!root)
        return ENOENT;
    std::lock_guard lock(placeMutex_);
    // Never over a directory of the same name (an earlier run's of the same second): plain
    // rename would take the place of an empty one.
    int moved =
        ::renameat2(root_->handle.get(), name_.c_str(), root->handle.get(), name.c_str(), RENAME_NOREPLACE);
    if (moved != 0 && (errno == EINVAL || errno == ENOSYS)) {
        // A file system that cannot refuse to replace: take the name only when it is free.
        struct stat info {};
        if (::fstatat(root->handle.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
            return EEXIST;
        moved = ::renameat(root_->handle.get(), name_.c_str(), root->handle.get(), name.c_str());
    }
    if (moved != 0)
        return errno;
    root_ = std::move(root);
    name_ = std::move(name);
    for (auto [body, file] : {std::pair{&requestBody_, RecordingStore::requestBodyFile},
                              std::pair{&responseBody_, RecordingStore::responseBodyFile}})
        if (*body)
            (*body)->moveTo(root_->handle.get(), inDirectory(file), root_->path);
    return 0;
}

int ExchangeRecording::removeDirectory() {
    std::lock_guard lock(placeMutex_);
    if (!root_)
        return 0;
    if (requestBody_)
        requestBody_->close();
    if (responseBody_)
        responseBody_->close();
    if (root_ != temporary_) {
        if (!temporary_)
            return ENOENT;
        if (::renameat(root_->handle.get(), name_.c_str(), temporary_->handle.get(),
                       temporaryDirectory_.c_str()) != 0)
            return errno;
        root_ = temporary_;
        name_ = temporaryDirectory_;
    }
    std::error_code error;
    std::filesystem::remove_all(root_->path / name_, error);
    return error.value();
}

std::filesystem::path ExchangeRecording::directory() const {
    std::lock_guard lock(placeMutex_);
    return root_ ? root_->path / name_ : std::filesystem::path();
}

std::string ExchangeRecording::inDirectory(const char* file) const {
    std::string path;
    path.reserve(name_.size() + 1 + std::char_traits<char>::length(file));
    path.append(name_).append("/").append(file);
    return path;
}

void ExchangeRecording::replace(const char* file, std::string& text, std::string& written) {
    if (text == written)
        return;
    std::lock_guard lock(placeMutex_);
    if (!temporary_ || !root_)
        systemError("open(temporary)", ENOENT)->raise();
    auto name = inDirectory(file);
    FileAt at{root_->handle.get(), name, root_->path};
    FileAt temporary{temporary_->handle.get(), temporaryFile_, temporary_->path};
    bool exists = !written.empty();
    // What the file holds is unknown once a write has begun.
    written.clear();
    replaceThroughTemporary(at, text, temporary, exists);
    written.swap(text);
}

void ExchangeRecording::appendBody(bool request, std::string_view bytes, std::int64_t cap) {
    std::lock_guard lock(placeMutex_);
    if (!root_)
        systemError("open(body)", ENOENT)->raise();
    auto& body = request ? requestBody_ : responseBody_;
    if (!body)
        body.emplace(
            root_->handle.get(),
            inDirectory(request ? RecordingStore::requestBodyFile : RecordingStore::responseBodyFile),
            root_->path);
    body->append(bytes, cap);
}

void ExchangeRecording::release() {
    std::lock_guard lock(placeMutex_);
    if (requestBody_)
        requestBody_->close();
    if (responseBody_)
        responseBody_->close();
}

} // namespace pemtrox
