#include "tests/support/FakeDnsServer.h"

#include <optional>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pemtrox::test {

FakeDnsServer::FakeDnsServer(std::map<std::string, std::string> answers, std::set<std::string> silent,
                             std::uint32_t timeToLive)
    : answers_(std::move(answers)), timeToLive_(timeToLive), silent_(std::move(silent)) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { run(); });
}

FakeDnsServer::~FakeDnsServer() {
    stop_ = true;
    thread_.join();
    close(fd_);
}

void FakeDnsServer::setAnswer(const std::string& name, const std::string& address) {
    std::lock_guard lock(mutex_);
    answers_[name] = address;
}

std::string FakeDnsServer::address() const {
    return "127.0.0.1:" + std::to_string(port_);
}

void FakeDnsServer::run() {
    std::vector<std::uint8_t> packet(512);
    while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0)
            continue;
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        ssize_t n =
            recvfrom(fd_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 17)
            continue;
        ++queries_;
        // The question: labels from offset 12, then type and class.
        std::string name;
        std::size_t at = 12;
        while (at < static_cast<std::size_t>(n) && packet[at] != 0) {
            if (!name.empty())
                name += '.';
            name.append(reinterpret_cast<const char*>(&packet[at + 1]), packet[at]);
            at += packet[at] + 1;
        }
        std::size_t questionEnd = at + 5;
        if (questionEnd > static_cast<std::size_t>(n) || silent_.count(name))
            continue;
        int type = packet[at + 1] << 8 | packet[at + 2];
        std::vector<std::uint8_t> reply(packet.begin(),
                                        packet.begin() + static_cast<std::ptrdiff_t>(questionEnd));
        std::optional<std::string> answer;
        {
            std::lock_guard lock(mutex_);
            if (auto found = answers_.find(name); found != answers_.end())
                answer = found->second;
        }
        reply[2] = 0x81;                 // a response, recursion desired
        reply[3] = answer ? 0x80 : 0x83; // recursion available; none or NXDOMAIN
        reply[6] = reply[7] = reply[8] = reply[9] = reply[10] = reply[11] = 0;
        in_addr address{};
        if (answer && type == 1 && inet_pton(AF_INET, answer->c_str(), &address) == 1) {
            reply[7] = 1; // one answer: the question's name, A, IN, its time to live, 4 bytes
            std::uint8_t record[] = {0xc0, 0x0c, 0, 1, 0, 1, 0, 0, 0, 0, 0, 4};
            for (int i = 0; i < 4; ++i)
                record[6 + i] = static_cast<std::uint8_t>(timeToLive_ >> (24 - 8 * i));
            reply.insert(reply.end(), std::begin(record), std::end(record));
            auto* bytes = reinterpret_cast<const std::uint8_t*>(&address.s_addr);
            reply.insert(reply.end(), bytes, bytes + 4);
        }
        sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), fromLen);
    }
}

} // namespace pemtrox::test
