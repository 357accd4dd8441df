#include "proxy/recording/ExchangeRecording.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "proxy/recording/FileOps.h"
#include "proxy/recording/RecordingStore.h"

namespace pemtrox {

namespace {

// Beside the replaced files while the exchange runs: written over and swapped with the
// file being replaced, so that a replacement makes no file.
constexpr const char* spareFile = ".spare.tmp";

} // namespace

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
    auto name = inDirectory(file);
    FileAt at{root_->handle.get(), name, root_->path};
    if (written.empty()) {
        replaceFile(at, text);
    } else {
        written.clear();
        spare_ = true;
        replaceThroughSpare(at, text, spareFile);
    }
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
    if (std::exchange(spare_, false))
        ::unlinkat(root_->handle.get(), inDirectory(spareFile).c_str(), 0);
}

} // namespace pemtrox
