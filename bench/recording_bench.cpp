// Throughput of 1 MiB downloads through the proxy, unrecorded and with every exchange
// recorded (metadata at each step, heads, and the whole body, which the default 1 MiB cap
// keeps). One keep-alive client, an in-process origin, all on loopback. The store goes
// under $TMPDIR (default /tmp).
//   pemtrox_recording_bench [downloads]
//
// With --steps, the recording listener alone, without sockets: a queue plays the steps
// of small kept-alive GET exchanges (the callbacks a 1 KiB exchange makes, in its order)
// one after another as fast as the listener takes them (waiting while the writer holds one
// paused), and prints the CPU per exchange of that queue's thread (the serving queue's share
// of recording) and of the rest of the process (the writer), and exchanges/s until the
// store holds them all.
//   pemtrox_recording_bench --steps [exchanges] [body bytes]

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "platform/DispatchQueue.h"
#include "proxy/engine/ExchangePause.h"
#include "proxy/engine/HttpFields.h"
#include "proxy/engine/HttpProxyServer.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/io/InetAddress.h"
#include "proxy/recording/RecordingListener.h"

using namespace pemtrox;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t bodySize = 1048576;

int listenLoopback(int& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0)
        std::exit(1);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    port = ntohs(addr.sin_port);
    return fd;
}

int connectLoopback(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        std::exit(1);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool sendAll(int fd, const std::string& bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
        auto n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads a head, then a body of the fixed size when `body` is set; false at the end.
bool readMessage(int fd, std::string& buffer, bool body) {
    std::size_t end;
    while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
        char chunk[65536];
        auto n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return false;
        buffer.append(chunk, static_cast<std::size_t>(n));
    }
    std::size_t need = end + 4 + (body ? bodySize : 0);
    while (buffer.size() < need) {
        char chunk[65536];
        auto n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return false;
        buffer.append(chunk, static_cast<std::size_t>(n));
    }
    buffer.erase(0, need);
    return true;
}

void serveOrigin(int listenFd) {
    const std::string response = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(bodySize) +
                                 "\r\n\r\n" + std::string(bodySize, 'x');
    for (;;) {
        int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        std::thread([fd, &response] {
            std::string buffer;
            while (readMessage(fd, buffer, false) && sendAll(fd, response)) {
            }
            ::close(fd);
        }).detach();
    }
}

// MiB/s of `count` downloads over one kept-alive client connection.
double measure(int originPort, bool recorded, int count, const std::filesystem::path& root) {
    auto queue = DispatchQueue::make("bench");
    std::shared_ptr<HttpProxyServer> server;
    std::shared_ptr<RecordingListener> listener;
    queue->sync([&] {
        server = HttpProxyServer::make(queue);
        if (recorded)
            server->addProxyListener(listener = RecordingListener::make(root, {}, true));
        server->bind(0, "127.0.0.1");
    });
    int fd = connectLoopback(server->localPort().value_or(0));
    const std::string request =
        "GET http://127.0.0.1:" + std::to_string(originPort) + "/1m HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::string buffer;
    auto download = [&] {
        if (!sendAll(fd, request) || !readMessage(fd, buffer, true)) {
            std::fprintf(stderr, "download failed\n");
            std::exit(1);
        }
    };
    for (int i = 0; i < 5; ++i)
        download();
    auto start = Clock::now();
    for (int i = 0; i < count; ++i)
        download();
    if (listener)
        listener->waitForWrites(); // the store holds every download before the clock stops
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(fd);
    queue->sync([&] {
        server->stopListening();
        server->stop();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    queue->sync([&] { server.reset(); });
    queue->stop();
    return count / seconds;
}

std::shared_ptr<HttpFields> head(std::initializer_list<const char*> lines) {
    auto fields = std::make_shared<HttpFields>();
    for (auto line : lines)
        fields->addLine(std::string(line) + "\r\n");
    fields->addLine("\r\n");
    return fields;
}

double cpuSeconds(clockid_t clock) {
    timespec t{};
    ::clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The steps of one kept-alive GET exchange with the body, straight into the listener.
struct ExchangeSteps {
    std::shared_ptr<RecordingListener> listener;
    std::shared_ptr<HttpFields> requestHead =
        head({"GET http://127.0.0.1:8080/1k.bin HTTP/1.1", "Host: 127.0.0.1:8080", "User-Agent: bench",
              "Accept: */*"});
    std::shared_ptr<HttpFields> sentHead =
        head({"GET /1k.bin HTTP/1.1", "Host: 127.0.0.1:8080", "User-Agent: bench", "Accept: */*"});
    std::shared_ptr<HttpFields> responseHead =
        head({"HTTP/1.1 200 OK", "Server: nginx", "Date: Tue, 04 Mar 2025 10:11:12 GMT",
              "Content-Type: application/octet-stream", "Content-Length: 1024",
              "Last-Modified: Tue, 04 Mar 2025 10:00:00 GMT", "Connection: keep-alive",
              "ETag: \"67c6d0a0-400\"", "Accept-Ranges: bytes"});
    Data body;
    std::shared_ptr<InetAddress> client = std::make_shared<InetAddress>("127.0.0.1", "127.0.0.1");
    std::shared_ptr<InetAddress> remote = std::make_shared<InetAddress>("127.0.0.1", "127.0.0.1");

    std::shared_ptr<ProxyEvent> play(bool keptAlive) {
        auto evt = ProxyEvent::make(nullptr);
        evt->keptAlive = keptAlive;
        evt->clientAddress = client;
        evt->startTime = Date::clock::now();
        evt->status = ProxyEventStatus::receivedRequestFirstLine;
        listener->proxyListenerReceivedRequestAddress(evt);
        evt->method = "GET";
        evt->protocolVersion = "HTTP/1.1";
        evt->scheme = "http";
        evt->host = "127.0.0.1";
        evt->port = 8080;
        evt->setPath("/1k.bin");
        evt->status = ProxyEventStatus::receivedRequestURL;
        listener->proxyListenerReceivedRequestURL(evt);
        evt->requestHeader = requestHead;
        evt->requestHeaderSize = 96;
        evt->requestBeginTime = Date::clock::now();
        evt->status = ProxyEventStatus::receivedRequestHeader;
        listener->proxyListenerReceivedRequestHeader(evt);
        evt->remoteAddress = remote;
        evt->connectDuration = 0.0001;
        evt->requestHeader = sentHead;
        listener->proxyListenerSentRequestHeader(evt);
        evt->requestCompleteTime = Date::clock::now();
        evt->status = ProxyEventStatus::receivedRequestBody;
        listener->proxyListenerReceivedRequest(evt);
        evt->responseHeader = responseHead;
        evt->responseHeaderSize = 250;
        evt->responseBeginTime = Date::clock::now();
        evt->status = ProxyEventStatus::receivedResponseHeader;
        listener->proxyListenerReceivedResponseHeader(evt);
        listener->proxyListenerSentResponseHeader(evt);
        evt->responseSize = static_cast<std::int64_t>(body.size());
        evt->status = ProxyEventStatus::receivingResponseBody;
        listener->proxyListenerReceivingResponseBody(evt, body);
        evt->status = ProxyEventStatus::receivedResponseBody;
        listener->proxyListenerReceivedResponse(evt);
        evt->endTime = Date::clock::now();
        evt->status = ProxyEventStatus::complete;
        listener->proxyListenerTransactionComplete(evt);
        return evt;
    }
};

// `count` exchanges played one after another on a queue, as on one kept-alive connection:
// while the writer holds an exchange paused, the next waits for it to be resumed.
void steps(int count, std::size_t bodyBytes, const std::filesystem::path& root) {
    ExchangeSteps exchange;
    exchange.listener = RecordingListener::make(root, {}, true);
    exchange.body.assign(bodyBytes, 'x');
    auto queue = DispatchQueue::make("bench");
    std::promise<double> servingCPU;
    int played = 0;
    std::function<void()> next = [&] {
        if (played == count) {
            servingCPU.set_value(cpuSeconds(CLOCK_THREAD_CPUTIME_ID));
            return;
        }
        auto evt = exchange.play(played++ > 0);
        evt->pause()->whenRunning([&] { queue->async(next); });
    };
    auto wallStart = Clock::now();
    double threadStart = 0, processStart = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    queue->async([&] {
        threadStart = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        next();
    });
    double serving = servingCPU.get_future().get() - threadStart;
    exchange.listener->waitForWrites();
    double wall = std::chrono::duration<double>(Clock::now() - wallStart).count();
    double writer = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - processStart - serving;
    queue->stop();
    std::printf("%d exchanges of %zu body bytes: %.1f us serving, %.1f us writer CPU per exchange; "
                "%.0f exchanges/s until written\n",
                count, bodyBytes, serving * 1e6 / count, writer * 1e6 / count, count / wall);
}

} // namespace

int main(int argc, char** argv) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/pemtrox-recording-bench-XXXXXX";
    std::filesystem::path dir = ::mkdtemp(pattern.data());
    if (argc > 1 && std::string(argv[1]) == "--steps") {
        steps(argc > 2 ? std::atoi(argv[2]) : 20000,
              argc > 3 ? static_cast<std::size_t>(std::atol(argv[3])) : std::size_t(1024), dir / "Recording");
        std::filesystem::remove_all(dir);
        return 0;
    }
    int count = argc > 1 ? std::atoi(argv[1]) : 200;
    int originPort = 0;
    int listenFd = listenLoopback(originPort);
    std::thread(serveOrigin, listenFd).detach();

    double plain = 0, recorded = 0;
    for (int round = 0; round < 2; ++round) { // alternate, so that neither gets the quieter moment
        plain += measure(originPort, false, count, dir / "Recording");
        recorded += measure(originPort, true, count, dir / "Recording");
    }
    std::printf("1 MiB downloads, %d per run, 2 runs each, one kept-alive client\n", count);
    std::printf("unrecorded: %8.1f MiB/s\n", plain / 2);
    std::printf("recorded:   %8.1f MiB/s  (%.0f%% of unrecorded)\n", recorded / 2, 100 * recorded / plain);
    std::filesystem::remove_all(dir);
    return 0;
}
