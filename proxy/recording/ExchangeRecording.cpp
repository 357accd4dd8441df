#include "proxy/recording/ExchangeRecording.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Error.h"
#include "proxy/recording/FileOps.h"
#include "proxy/recording/RecordingStore.h"

namespace pemtrox {

bool ExchangeRecording::makeDirectory(std::shared_ptr<const StoreRoot> root, std::string name) {
    if (!root) {
        errno = ENOENT;
        return false;
    }
    // mkdir fails on a taken name, so a directory left by an earlier listener is never shared.
    if (::mkdirat(root->handle.get(), name.c_str(), 0700) != 0)
        return false;
    root_ = std::move(root);
    name_ = std::move(name);
    return true;
}

bool ExchangeRecording::removeEmptyDirectory() {
    return root_ && ::unlinkat(root_->handle.get(), name_.c_str(), AT_REMOVEDIR) == 0;
}

void ExchangeRecording::useSpare(std::shared_ptr<const StoreRoot> temporary, std::string name) {
    temporary_ = std::move(temporary);
    spare_ = std::move(name);
}

std::filesystem::path ExchangeRecording::directory() const {
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
    if (!temporary_)
        systemError("open(spare)", ENOENT)->raise();
    auto name = inDirectory(file);
    FileAt at{root_->handle.get(), name, root_->path};
    FileAt spare{temporary_->handle.get(), spare_, temporary_->path};
    bool exists = !written.empty();
    // What the file holds is unknown once a write has begun.
    written.clear();
    replaceThroughSpare(at, text, spare, exists);
    written.swap(text);
}

void ExchangeRecording::appendBody(bool request, std::string_view bytes, std::int64_t cap) {
    auto& body = request ? requestBody_ : responseBody_;
    if (!body)
        body.emplace(
            root_->handle.get(),
            inDirectory(request ? RecordingStore::requestBodyFile : RecordingStore::responseBodyFile),
            root_->path);
    body->append(bytes, cap);
}

void ExchangeRecording::release() {
    if (requestBody_)
        requestBody_->close();
    if (responseBody_)
        responseBody_->close();
}

} // namespace pemtrox
