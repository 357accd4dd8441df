#include "tests/support/TestOrigin.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace pemtrox::test {

OriginConnection::~OriginConnection() {
    close();
}

bool OriginConnection::fill(int timeoutMs) {
    if (fd_ < 0)
        return false;
    if (timeoutMs >= 0) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return false;
    }
    char chunk[16384];
    auto n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) {
        ended_ = true;
        wasReset_ = n < 0 && errno == ECONNRESET;
        return false;
    }
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
}

bool OriginConnection::fillBefore(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 && fill(static_cast<int>(left.count()));
}

std::optional<std::string> OriginConnection::readHead() {
    for (;;) {
        // Blank lines before a head are skipped, as HTTP readers do.
        while (buffer_.starts_with("\r\n"))
            buffer_.erase(0, 2);
        auto end = buffer_.find("\r\n\r\n");
        if (end != std::string::npos) {
            auto head = buffer_.substr(0, end + 4);
            buffer_.erase(0, end + 4);
            return head;
        }
        if (!fill())
            return std::nullopt;
    }
}

std::string OriginConnection::readBytes(std::size_t n) {
    while (buffer_.size() < n && fill()) {
    }
    auto take = std::min(n, buffer_.size());
    auto out = buffer_.substr(0, take);
    buffer_.erase(0, take);
    return out;
}

std::string OriginConnection::readChunkedBody() {
    std::string body;
    for (;;) {
        std::size_t eol;
        while ((eol = buffer_.find("\r\n")) == std::string::npos)
            if (!fill())
                return body;
        auto size = std::stoul(buffer_.substr(0, eol), nullptr, 16);
        buffer_.erase(0, eol + 2);
        if (size == 0) {
            while (buffer_.find("\r\n") == std::string::npos && fill()) {
            }
            buffer_.erase(0, buffer_.find("\r\n") + 2);
            return body;
        }
        body += readBytes(size);
        readBytes(2);
    }
}

std::string OriginConnection::readAvailable(int timeoutMs) {
    fill(timeoutMs);
    return std::exchange(buffer_, {});
}

std::string OriginConnection::readToEnd() {
    while (fill()) {
    }
    return std::exchange(buffer_, {});
}

void OriginConnection::write(const std::string& bytes) {
    std::size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
        auto n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

void OriginConnection::shutdownWrite() {
    if (fd_ >= 0)
        ::shutdown(fd_, SHUT_WR);
}

void OriginConnection::close() {
    if (fd_ >= 0) {
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
        fd_ = -1;
    }
}

void OriginConnection::reset() {
    if (fd_ >= 0) {
        linger l{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ::close(fd_);
        fd_ = -1;
    }
}

RawClient::RawClient(int port, int receiveBuffer) : OriginConnection(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    if (receiveBuffer > 0)
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        throw std::runtime_error("cannot connect to port " + std::to_string(port));
}

std::string RawClient::readUntil(const std::string& marker, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    auto found = [&] { return marker.empty() ? std::string::npos : buffer_.find(marker); };
    while (found() == std::string::npos && fillBefore(deadline)) {
    }
    auto end = found();
    if (end == std::string::npos)
        return std::exchange(buffer_, {});
    auto out = buffer_.substr(0, end + marker.size());
    buffer_.erase(0, end + marker.size());
    return out;
}

bool RawClient::closedByPeer(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (fillBefore(deadline)) {
    }
    return ended_;
}

TestOrigin::TestOrigin(Script script, const std::string& address, int port) : script_(std::move(script)) {
    // An IPv4 or an IPv6 address text.
    sockaddr_storage addr{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
    bool ipv6 = address.find(':') != std::string::npos;
    bool parsed = ipv6 ? ::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1
                       : ::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1;
    addr.ss_family = ipv6 ? AF_INET6 : AF_INET;
    (ipv6 ? v6->sin6_port : v4->sin_port) = htons(static_cast<std::uint16_t>(port));
    socklen_t len = ipv6 ? sizeof *v6 : sizeof *v4;
    listenFd_ = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (!parsed || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(listenFd_, 256) != 0) {
        ::close(listenFd_);
        throw std::runtime_error("origin: cannot listen on " + address + ":" + std::to_string(port));
    }
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(ipv6 ? v6->sin6_port : v4->sin_port);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

TestOrigin::~TestOrigin() {
    stopping_ = true;
    ::shutdown(listenFd_, SHUT_RDWR);
    ::close(listenFd_);
    acceptThread_.join();
    {
        std::lock_guard lock(mutex_);
        for (int fd : fds_)
            ::shutdown(fd, SHUT_RDWR);
    }
    for (auto& t : threads_)
        t.join();
}

void TestOrigin::acceptLoop() {
    for (;;) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (stopping_)
                return;
            continue;
        }
        ++accepts_;
        std::lock_guard lock(mutex_);
        fds_.push_back(fd);
        threads_.emplace_back([this, fd] {
            OriginConnection connection(fd);
            script_(connection, *this);
        });
    }
}

void TestOrigin::recordHead(const std::string& head) {
    std::lock_guard lock(mutex_);
    heads_.push_back(head);
}

std::vector<std::string> TestOrigin::heads() {
    std::lock_guard lock(mutex_);
    return heads_;
}

TestOrigin::Script
TestOrigin::serveEach(std::function<std::string(const std::string&, const std::string&)> respond) {
    return [respond](OriginConnection& c, TestOrigin& origin) {
        while (auto head = c.readHead()) {
            origin.recordHead(*head);
            std::string body;
            if (strcasecmp(headerValue(*head, "Transfer-Encoding").c_str(), "chunked") == 0)
                body = c.readChunkedBody();
            else if (auto length = headerValue(*head, "Content-Length"); !length.empty())
                body = c.readBytes(std::stoul(length));
            auto response = respond(*head, body);
            if (response.empty()) {
                c.close();
                return;
            }
            c.write(response);
        }
    };
}

std::string headerValue(const std::string& head, const std::string& name) {
    std::size_t pos = head.find("\r\n");
    while (pos != std::string::npos && pos + 2 < head.size()) {
        auto next = head.find("\r\n", pos + 2);
        auto line = head.substr(pos + 2, next - pos - 2);
        auto colon = line.find(':');
        if (colon != std::string::npos && strncasecmp(line.c_str(), name.c_str(), name.size()) == 0 &&
            colon == name.size()) {
            auto value = line.substr(colon + 1);
            value.erase(0, value.find_first_not_of(' '));
            return value;
        }
        pos = next;
    }
    return {};
}

} // namespace pemtrox::test
