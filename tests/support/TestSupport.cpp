#include "tests/support/TestSupport.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace pemtrox::test {

namespace {

// What killed tests left: their directories, and first whatever is still mounted in them.
void removeLeftDirectories(const std::filesystem::path& temporary, const std::string& prefix) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(temporary, error)) {
        auto name = entry.path().filename().string();
        auto dash = name.find('-', prefix.size());
        if (name.rfind(prefix, 0) != 0 || dash == std::string::npos ||
            !processEnded(name.substr(prefix.size(), dash - prefix.size())))
            continue;
        std::ifstream mounts("/proc/self/mounts");
        for (std::string device, point, rest; mounts >> device >> point && std::getline(mounts, rest);)
            if (point.rfind(entry.path().string() + "/", 0) == 0)
                ::umount2(point.c_str(), MNT_DETACH);
        std::error_code ignored;
        std::filesystem::remove_all(entry.path(), ignored);
    }
}

} // namespace

TempDir::TempDir() {
    const std::string prefix = "pemtrox-test-";
    auto temporary = std::filesystem::temp_directory_path();
    removeLeftDirectories(temporary, prefix);
    std::string pattern = (temporary / (prefix + std::to_string(getpid()) + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data()))
        std::abort();
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::shared_ptr<CapturingLogger> CapturingLogger::install(std::uint32_t levelMask) {
    auto logger = std::make_shared<CapturingLogger>(levelMask);
    logger->self_ = logger;
    Log::addLogger(logger);
    return logger;
}

CapturingLogger::~CapturingLogger() = default;

void CapturingLogger::uninstall() {
    if (auto self = self_.lock())
        Log::removeLogger(self);
}

std::vector<std::string> CapturingLogger::lines() {
    std::lock_guard lock(mutex_);
    return lines_;
}

bool CapturingLogger::contains(const std::string& fragment) {
    std::lock_guard lock(mutex_);
    for (auto& l : lines_)
        if (l.find(fragment) != std::string::npos)
            return true;
    return false;
}

int CapturingLogger::count(const std::string& fragment) {
    std::lock_guard lock(mutex_);
    return static_cast<int>(
        std::count_if(lines_.begin(), lines_.end(), [&](auto& l) { return l.find(fragment) != l.npos; }));
}

void CapturingLogger::write(std::string_view line) {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(line);
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

RefusingPort::RefusingPort() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
        throw std::runtime_error("cannot reserve a loopback port");
    port_ = ntohs(addr.sin_port);
}

RefusingPort::~RefusingPort() {
    if (fd_ >= 0)
        ::close(fd_);
}

BlackHole::BlackHole() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener_, 0) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
        throw std::runtime_error("cannot make a black-hole port");
    port_ = ntohs(addr.sin_port);
    // Never accepted: these fill the queue, so later SYNs go unanswered.
    for (int i = 0; i < 3; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        fillers_.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

BlackHole::~BlackHole() {
    for (int fd : fillers_)
        ::close(fd);
    ::close(listener_);
}

std::string slurp(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::filesystem::path sourceDirectory() {
    if (const char* source = std::getenv("PEMTROX_SOURCE_DIR"))
        return source;
    return PEMTROX_SOURCE_ROOT;
}

bool processEnded(const std::string& id) {
    if (id.empty() || id.size() > 9 || id.find_first_not_of("0123456789") != std::string::npos)
        return false;
    return ::kill(std::stoi(id), 0) != 0 && errno == ESRCH;
}

std::string runCommand(const std::string& command, int* status) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        if (status)
            *status = -1;
        return out;
    }
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0)
        out.append(buf, n);
    int rc = pclose(pipe);
    if (status)
        *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

} // namespace pemtrox::test
