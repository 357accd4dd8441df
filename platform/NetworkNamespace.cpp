#include "platform/NetworkNamespace.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

#include "platform/Error.h"
#include "platform/Rtnetlink.h"
#include "platform/ThreadName.h"

namespace pemtrox {

namespace {

const std::string directory = "/run/netns";

int openOrThrow(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        systemError("open(" + path + ")", errno)->raise();
    return fd;
}

/// Whether the mount holding the path takes mounts from a master without passing its own
/// on (a slave that is not shared as well).
bool receivesMountsOnly(const std::string& path) {
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line, best, fields;
    while (std::getline(mounts, line)) {
        std::istringstream words(line);
        std::string id, parent, device, root, point, options, field, optional;
        words >> id >> parent >> device >> root >> point >> options;
        while (words >> field && field != "-")
            optional += field + " ";
        bool under = path == point || point == "/" || path.rfind(point + "/", 0) == 0;
        if (under && point.size() >= best.size())
            best = point, fields = optional;
    }
    return fields.find("master:") != std::string::npos && fields.find("shared:") == std::string::npos;
}

/// Makes the namespace as `ip netns add` does: a bind mount of a fresh namespace on a file
/// under a shared mount of the directory, so that other mount namespaces see it too.
void create(const std::string& name) {
    auto path = directory + "/" + name;
    // Under `ip netns exec` the program has a mount namespace of its own whose mounts do
    // not reach the rest of the system (its mounts are slaves): a namespace made here would
    // be invisible to the apps meant to run in it.
    if (receivesMountsOnly(directory))
        GenericError("The network namespace \"" + name +
                     "\" does not exist and cannot be made from a mount namespace of the program's own "
                     "(as under ip netns exec): make it first with 'ip netns add " +
                     name + "'")
            .raise();
    ::mkdir(directory.c_str(), 0755);
    if (::mount("", directory.c_str(), "none", MS_SHARED | MS_REC, nullptr) != 0) {
        if (errno != EINVAL ||
            ::mount(directory.c_str(), directory.c_str(), "none", MS_BIND | MS_REC, nullptr) != 0 ||
            ::mount("", directory.c_str(), "none", MS_SHARED | MS_REC, nullptr) != 0)
            systemError("mount(" + directory + ")", errno)->raise();
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0);
    if (fd < 0)
        systemError("create(" + path + ")", errno)->raise();
    ::close(fd);
    std::exception_ptr failure;
    std::thread([&] {
        nameCurrentThread("NetnsMake");
        try {
            if (::unshare(CLONE_NEWNET) != 0)
                systemError("unshare(CLONE_NEWNET)", errno)->raise();
            if (::mount("/proc/thread-self/ns/net", path.c_str(), "none", MS_BIND, nullptr) != 0)
                systemError("mount(" + path + ")", errno)->raise();
            Rtnetlink(0).setLinkUp(static_cast<int>(if_nametoindex("lo")), true);
        } catch (...) {
            failure = std::current_exception();
        }
    }).join();
    if (failure) {
        ::umount2(path.c_str(), MNT_DETACH);
        ::unlink(path.c_str());
        std::rethrow_exception(failure);
    }
}

} // namespace

NetworkNamespace::NetworkNamespace(int fd) : fd_(fd) {
    struct stat status {};
    ::fstat(fd_, &status);
    device_ = status.st_dev;
    inode_ = status.st_ino;
}

NetworkNamespace NetworkNamespace::current() {
    return NetworkNamespace(openOrThrow("/proc/thread-self/ns/net"));
}

NetworkNamespace NetworkNamespace::named(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        GenericError("Not a namespace name: \"" + name + "\"").raise();
    auto path = directory + "/" + name;
    if (::access(path.c_str(), F_OK) != 0)
        create(name);
    return NetworkNamespace(openOrThrow(path));
}

NetworkNamespace::~NetworkNamespace() {
    if (fd_ >= 0)
        ::close(fd_);
}

NetworkNamespace::NetworkNamespace(NetworkNamespace&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), device_(other.device_), inode_(other.inode_) {}

NetworkNamespace& NetworkNamespace::operator=(NetworkNamespace&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        device_ = other.device_;
        inode_ = other.inode_;
    }
    return *this;
}

void NetworkNamespace::run(const std::function<void()>& work) const {
    std::exception_ptr failure;
    std::thread([&] {
        nameCurrentThread("NetnsRun");
        try {
            if (::setns(fd_, CLONE_NEWNET) != 0)
                systemError("setns", errno)->raise();
            work();
        } catch (...) {
            failure = std::current_exception();
        }
    }).join();
    if (failure)
        std::rethrow_exception(failure);
}

} // namespace pemtrox
