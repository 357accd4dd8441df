#include "platform/AppMessageChannel.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <utility>

#include "platform/AppMessageConnection.h"
#include "platform/Error.h"
#include "platform/Log.h"
#include "platform/ThreadName.h"

namespace pemtrox {

namespace {

using Clock = std::chrono::steady_clock;

/// A descriptor closed when it goes out of scope.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

sockaddr_un socketAddress(const std::filesystem::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const auto& text = path.native();
    if (text.empty() || text.size() >= sizeof(address.sun_path))
        throw GenericError("App message socket path is too long for a Unix socket (" +
                           std::to_string(text.size()) + " bytes, at most " +
                           std::to_string(sizeof(address.sun_path) - 1) + "): " + text);
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    return address;
}

int connectTo(const std::filesystem::path& path) {
    auto address = socketAddress(path);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

/// Waits until the descriptor is ready for the events or the deadline passes.
bool waitReady(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd p{fd, events, 0};
        int n = ::poll(&p, 1, static_cast<int>(left));
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
}

bool readFully(int fd, std::uint8_t* into, std::size_t count, Clock::time_point deadline) {
    while (count > 0) {
        if (!waitReady(fd, POLLIN, deadline))
            return false;
        ssize_t n = ::recv(fd, into, count, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        into += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

bool writeFully(int fd, const std::uint8_t* from, std::size_t count, Clock::time_point deadline) {
    while (count > 0) {
        if (!waitReady(fd, POLLOUT, deadline))
            return false;
        ssize_t n = ::send(fd, from, count, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        from += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

/// Reads one frame; none when the peer is silent, hangs up, or the frame is too long.
std::optional<AppMessageServer::Bytes> readFrame(int fd, std::size_t limit, Clock::time_point deadline) {
    std::uint8_t header[4];
    if (!readFully(fd, header, sizeof(header), deadline))
        return std::nullopt;
    std::size_t length = (std::size_t(header[0]) << 24) | (std::size_t(header[1]) << 16) |
                         (std::size_t(header[2]) << 8) | std::size_t(header[3]);
    if (length > limit)
        return std::nullopt;
    AppMessageServer::Bytes body(length);
    if (length > 0 && !readFully(fd, body.data(), length, deadline))
        return std::nullopt;
    return body;
}

bool writeFrame(int fd, const AppMessageServer::Bytes& body, Clock::time_point deadline) {
    AppMessageServer::Bytes frame{std::uint8_t(body.size() >> 24), std::uint8_t(body.size() >> 16),
                                  std::uint8_t(body.size() >> 8), std::uint8_t(body.size())};
    frame.insert(frame.end(), body.begin(), body.end());
    return writeFully(fd, frame.data(), frame.size(), deadline);
}

} // namespace

struct AppMessageServer::Thread {
    std::thread thread;
};

struct AppMessageServer::Connections {
    /// In the order they were accepted, so the first one still reading is the oldest idle.
    std::list<AppMessageConnection> open;
    /// Out of descriptors: accepting waits until then rather than spinning on the listener.
    Clock::time_point acceptPausedUntil;

    bool anyIdle() const {
        return std::any_of(open.begin(), open.end(),
                           [](const auto& c) { return c.state() == AppMessageConnection::State::reading; });
    }
};

std::unique_ptr<AppMessageServer> AppMessageServer::start(std::filesystem::path path, Handler handler,
                                                          std::chrono::milliseconds readTimeout,
                                                          std::size_t maxConnections) {
    auto address = socketAddress(path);
    std::error_code ignored;
    if (std::filesystem::is_socket(std::filesystem::symlink_status(path, ignored))) {
        // A socket file outlives a program that was killed; replace it only when nobody answers.
        int probe = connectTo(path);
        if (probe >= 0) {
            ::close(probe);
            throw GenericError("Another program answers app messages at " + path.string());
        }
        std::filesystem::remove(path, ignored);
    }
    Fd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (listener.get() < 0)
        systemError("socket", errno)->raise();
    if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
        systemError("bind(" + path.string() + ")", errno)->raise();
    // The container directory is private (0700); the file itself is made private as well.
    if (::chmod(path.c_str(), 0600) != 0 || ::listen(listener.get(), SOMAXCONN) != 0) {
        int saved = errno;
        std::filesystem::remove(path, ignored);
        systemError("listen(" + path.string() + ")", saved)->raise();
    }
    std::unique_ptr<AppMessageServer> server(new AppMessageServer(
        std::move(path), std::move(handler), readTimeout, std::max<std::size_t>(maxConnections, 1)));
    if (::pipe2(server->wake_, O_CLOEXEC) != 0) {
        std::filesystem::remove(server->path_, ignored);
        systemError("pipe", errno)->raise();
    }
    server->listener_ = listener.release();
    server->thread_ = std::make_unique<Thread>();
    server->thread_->thread = std::thread([raw = server.get()] {
        nameCurrentThread("AppMessages");
        raw->run();
    });
    return server;
}

AppMessageServer::AppMessageServer(std::filesystem::path path, Handler handler,
                                   std::chrono::milliseconds readTimeout, std::size_t maxConnections)
    : path_(std::move(path)), handler_(std::move(handler)), readTimeout_(readTimeout),
      maxConnections_(maxConnections) {}

AppMessageServer::~AppMessageServer() {
    stop();
    for (int fd : wake_)
        if (fd >= 0)
            ::close(fd);
}

void AppMessageServer::stop() {
    if (!thread_)
        return;
    char byte = 0;
    while (::write(wake_[1], &byte, 1) < 0 && errno == EINTR) {
    }
    thread_->thread.join();
    thread_.reset();
    ::close(listener_);
    listener_ = -1;
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
}

void AppMessageServer::run() {
    using State = AppMessageConnection::State;
    Connections connections;
    auto& open = connections.open;
    std::vector<pollfd> fds;
    std::vector<AppMessageConnection*> polled;
    for (;;) {
        auto now = Clock::now();
        // At the limit, a newcomer needs an idle connection whose place it takes.
        bool room = open.size() < maxConnections_ || connections.anyIdle();
        bool accepting = room && now >= connections.acceptPausedUntil;
        auto wakeAt = room && !accepting ? connections.acceptPausedUntil : Clock::time_point::max();
        fds.assign({{wake_[0], POLLIN, 0}, {accepting ? listener_ : -1, POLLIN, 0}});
        polled.clear();
        for (auto& c : open) {
            fds.push_back({c.fd(), c.events(), 0});
            polled.push_back(&c);
            wakeAt = std::min(wakeAt, c.deadline());
        }
        int timeout = -1;
        if (wakeAt != Clock::time_point::max())
            timeout = static_cast<int>(std::clamp<std::int64_t>(
                std::chrono::ceil<std::chrono::milliseconds>(wakeAt - now).count(), 0, 60'000));
        if (::poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR)
                continue;
            LOG_ERROR("App message server stopped: {}", std::strerror(errno));
            return;
        }
        if (fds[0].revents != 0)
            return;
        for (std::size_t i = 0; i < polled.size(); ++i) {
            if (fds[i + 2].revents == 0)
                continue;
            if (polled[i]->state() == State::reading)
                serve(*polled[i]);
            else
                polled[i]->send();
        }
        if (fds[1].revents != 0)
            acceptWaiting(connections);
        // Requests that arrived in time were served above, even when the handler took long.
        now = Clock::now();
        open.remove_if([&](const auto& c) { return c.state() == State::done || c.deadline() <= now; });
    }
}

void AppMessageServer::acceptWaiting(Connections& connections) {
    auto& open = connections.open;
    auto isIdle = [](const auto& c) { return c.state() == AppMessageConnection::State::reading; };
    // A bounded batch: the clients already open get their turn between batches.
    for (std::size_t taken = 0; taken < maxConnections_; ++taken) {
        if (open.size() >= maxConnections_ && !connections.anyIdle())
            return;
        Fd client(::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (client.get() < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                connections.acceptPausedUntil = Clock::now() + std::chrono::milliseconds(50);
            return;
        }
        ucred peer{};
        socklen_t length = sizeof(peer);
        if (::getsockopt(client.get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
            (peer.uid != ::geteuid() && peer.uid != 0)) {
            LOG_WARNING("App message from uid {} refused", peer.uid);
            continue;
        }
        if (open.size() >= maxConnections_)
            open.erase(std::find_if(open.begin(), open.end(), isIdle));
        auto& connection = open.emplace_back(client.release(), Clock::now() + readTimeout_);
        // Its request may be here already.
        serve(connection);
        if (connection.state() == AppMessageConnection::State::done)
            open.pop_back();
    }
}

void AppMessageServer::serve(AppMessageConnection& connection) {
    auto frame = connection.receive(maxFrame + 1);
    if (!frame)
        return;
    if (frame->empty()) {
        connection.finish();
        return;
    }
    bool wantsReply = (*frame)[0] == 1;
    Bytes message(frame->begin() + 1, frame->end());
    std::optional<Bytes> reply;
    try {
        reply = handler_(message, wantsReply);
    } catch (...) {
        LOG_ERROR("App message failed: {}", describe(currentError()));
        connection.finish();
        return;
    }
    if (wantsReply && reply)
        connection.reply(*reply, Clock::now() + readTimeout_);
    else
        connection.finish();
}

std::optional<AppMessageServer::Bytes> sendAppMessage(const std::filesystem::path& path,
                                                      const AppMessageServer::Bytes& message, bool wantsReply,
                                                      std::chrono::milliseconds timeout) {
    Fd fd(connectTo(path));
    if (fd.get() < 0)
        systemError("connect(" + path.string() + ")", errno)->raise();
    auto deadline = Clock::now() + timeout;
    AppMessageServer::Bytes body{std::uint8_t(wantsReply ? 1 : 0)};
    body.insert(body.end(), message.begin(), message.end());
    if (!writeFrame(fd.get(), body, deadline))
        throw GenericError("The app message could not be sent to " + path.string());
    if (!wantsReply)
        return std::nullopt;
    auto reply = readFrame(fd.get(), 16 * 1024 * 1024, deadline);
    if (!reply)
        throw GenericError("No reply to the app message from " + path.string());
    return reply;
}

} // namespace pemtrox
