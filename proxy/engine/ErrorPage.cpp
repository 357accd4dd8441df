#include "proxy/engine/ErrorPage.h"

#include "platform/UnicodeScalars.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace pemtrox {

namespace {

std::mutex directoryMutex;
std::optional<std::filesystem::path> explicitDirectory;

std::optional<std::filesystem::path> executableDirectory() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return std::nullopt;
    return exe.parent_path();
}

} // namespace

void ErrorPage::setDirectory(std::optional<std::filesystem::path> directory) {
    std::lock_guard lock(directoryMutex);
    explicitDirectory = std::move(directory);
}

std::optional<std::filesystem::path> ErrorPage::templatePath() {
    std::vector<std::filesystem::path> candidates;
    {
        std::lock_guard lock(directoryMutex);
        if (explicitDirectory)
            candidates.push_back(*explicitDirectory / fileName);
    }
    if (candidates.empty()) {
        if (auto dir = executableDirectory()) {
            candidates.push_back(*dir / fileName);
            candidates.push_back(*dir / ".." / "share" / "pemtrox" / fileName);
        }
    }
    for (auto& path : candidates) {
        std::error_code ec;
        if (std::filesystem::exists(path, ec))
            return path;
    }
    return std::nullopt;
}

std::string ErrorPage::loadTemplate() {
    auto path = templatePath();
    if (!path)
        return "Error template not found";
    std::string text;
    std::string failure;
    int fd = ::open(path->c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        failure = std::strerror(errno);
    } else {
        char buffer[8192];
        for (;;) {
            auto n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                failure = std::strerror(errno);
            if (n <= 0)
                break;
            text.append(buffer, static_cast<std::size_t>(n));
        }
        ::close(fd);
    }
    if (!failure.empty())
        return "Failed to load error template: " + path->string() + ": " + failure;
    if (!isValidUTF8(text))
        return "Failed to read a string value from the error template";
    return text;
}

std::string ErrorPage::render(std::string_view templateText, std::string_view title,
                              std::string_view message) {
    static constexpr std::string_view titleMark = "{title}";
    static constexpr std::string_view messageMark = "{message}";
    std::string out;
    out.reserve(templateText.size() + title.size() + message.size());
    std::size_t pos = 0;
    while (pos < templateText.size()) {
        auto brace = templateText.find('{', pos);
        if (brace == std::string_view::npos)
            break;
        out.append(templateText.substr(pos, brace - pos));
        auto rest = templateText.substr(brace);
        if (rest.starts_with(titleMark)) {
            out += escapeHTML(title);
            pos = brace + titleMark.size();
        } else if (rest.starts_with(messageMark)) {
            out += escapeHTML(message);
            pos = brace + messageMark.size();
        } else {
            out += '{';
            pos = brace + 1;
        }
    }
    if (pos < templateText.size())
        out.append(templateText.substr(pos));
    return out;
}

std::string ErrorPage::escapeHTML(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

} // namespace pemtrox
