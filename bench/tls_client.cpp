// The HTTPS client of tls_bench.sh: speaks TLS to a server directly or through a proxy's
// CONNECT tunnel, with the same code both ways, and counts whole responses.
//   pemtrox_tls_client keepalive|close SECONDS CONNECTIONS HOST PORT CAFILE PATH [PROXY]
//   pemtrox_tls_client rate SECONDS PER-SECOND HOST PORT CAFILE PATH [PROXY]
//   pemtrox_tls_client first HOST,HOST,... PORT CAFILE PATH PROXY [PAUSE-MS]
// keepalive: each connection sends requests one after another for the time given.
// close: every request on a new connection (and tunnel) with a full handshake.
// rate: new connections (one request each) started at the given rate, whatever their
// answers take; prints the requests/s completed, the errors and how many started late.
// first: one request per host, in turn, each on a new tunnel, with a pause between them:
// the median time of a first visit and of a second one.
// HOST is the name sent (SNI, certificate check, CONNECT, Host); NAME@ADDRESS connects
// directly to ADDRESS instead of the name's ("localhost" is 127.0.0.1). PROXY is a port on
// 127.0.0.1 or ADDRESS:PORT.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

struct Target {
    std::string host;
    int port = 0;
    int proxyPort = 0; // 0: direct
    std::string path;
    SSL_CTX* ctx = nullptr;
    std::string address;      // where a direct connection goes
    std::string proxyAddress; // the proxy's address

    Target(std::string name, int port, const std::string& proxy, std::string path, SSL_CTX* ctx)
        : port(port), path(std::move(path)), ctx(ctx) {
        auto at = name.find('@');
        host = name.substr(0, at);
        address = at != std::string::npos ? name.substr(at + 1) : host == "localhost" ? "127.0.0.1" : host;
        auto colon = proxy.rfind(':');
        proxyAddress = colon != std::string::npos ? proxy.substr(0, colon) : "127.0.0.1";
        proxyPort = std::atoi(proxy.c_str() + (colon != std::string::npos ? colon + 1 : 0));
    }
};

int tcpConnect(const std::string& address, int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

/// A TLS connection to the target, through the proxy's tunnel when there is one.
struct Connection {
    int fd = -1;
    SSL* ssl = nullptr;
    std::string buffer;
    ~Connection() {
        if (ssl)
            SSL_free(ssl);
        if (fd >= 0)
            close(fd);
    }
    bool open(const Target& t) {
        fd = t.proxyPort ? tcpConnect(t.proxyAddress, t.proxyPort) : tcpConnect(t.address, t.port);
        if (fd < 0)
            return false;
        if (t.proxyPort) {
            std::string connect = "CONNECT " + t.host + ":" + std::to_string(t.port) +
                                  " HTTP/1.1\r\nHost: " + t.host + ":" + std::to_string(t.port) + "\r\n\r\n";
            if (write(fd, connect.data(), connect.size()) != static_cast<ssize_t>(connect.size()))
                return false;
            std::string reply;
            char c;
            while (reply.find("\r\n\r\n") == std::string::npos && read(fd, &c, 1) == 1)
                reply += c;
            if (reply.find(" 200 ") == std::string::npos)
                return false;
        }
        ssl = SSL_new(t.ctx);
        SSL_set_fd(ssl, fd);
        SSL_set_tlsext_host_name(ssl, t.host.c_str());
        SSL_set1_host(ssl, t.host.c_str());
        return SSL_connect(ssl) == 1;
    }
    bool fill() {
        char chunk[16384];
        int n = SSL_read(ssl, chunk, sizeof chunk);
        if (n <= 0)
            return false;
        buffer.append(chunk, static_cast<std::size_t>(n));
        return true;
    }
    /// One GET and its whole response (Content-Length framing).
    bool request(const Target& t) {
        std::string req = "GET " + t.path + " HTTP/1.1\r\nHost: " + t.host + "\r\n\r\n";
        if (SSL_write(ssl, req.data(), static_cast<int>(req.size())) <= 0)
            return false;
        std::size_t end;
        while ((end = buffer.find("\r\n\r\n")) == std::string::npos)
            if (!fill())
                return false;
        std::string head = buffer.substr(0, end);
        auto at = head.find("Content-Length: ");
        if (head.compare(9, 3, "200") != 0 || at == std::string::npos)
            return false;
        std::size_t total = end + 4 + std::strtoul(head.c_str() + at + 16, nullptr, 10);
        while (buffer.size() < total)
            if (!fill())
                return false;
        buffer.erase(0, total);
        return true;
    }
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 7) {
        std::fprintf(stderr, "usage: see the head of tls_client.cpp\n");
        return 2;
    }
    std::string mode = argv[1];
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF); // a full handshake every time

    if (mode == "first") {
        int pauseMs = argc > 7 ? std::atoi(argv[7]) : 0;
        std::vector<std::string> hosts;
        std::stringstream list(argv[2]);
        for (std::string h; std::getline(list, h, ',');)
            hosts.push_back(h);
        SSL_CTX_load_verify_locations(ctx, argv[4], nullptr);
        std::vector<double> first, second;
        for (int round = 0; round < 2; ++round)
            for (const auto& h : hosts) {
                Target t(h, std::atoi(argv[3]), argv[6], argv[5], ctx);
                auto start = Clock::now();
                Connection c;
                bool ok = c.open(t) && c.request(t);
                double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
                if (!ok)
                    std::fprintf(stderr, "request to %s failed\n", h.c_str());
                (round == 0 ? first : second).push_back(ms);
                // New servers come at a browsing pace, not all in the same instant.
                std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
            }
        std::printf("%.2f %.2f\n", median(first), median(second));
        return 0;
    }

    int seconds = std::atoi(argv[2]), connections = std::atoi(argv[3]);
    SSL_CTX_load_verify_locations(ctx, argv[6], nullptr);
    Target t(argv[4], std::atoi(argv[5]), argc > 8 ? argv[8] : "0", argv[7], ctx);

    if (mode == "rate") {
        // The n-th connection starts at n / rate seconds; enough workers that slow answers do
        // not hold back the starts (a start more than 100 ms behind counts as late).
        double perSecond = connections;
        long total = static_cast<long>(perSecond * seconds);
        auto start = Clock::now();
        std::atomic<long> next{0}, done{0}, errors{0}, late{0};
        std::vector<std::thread> workers;
        for (int i = 0; i < 64; ++i)
            workers.emplace_back([&] {
                for (long n; (n = next++) < total;) {
                    auto at = start + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(n / perSecond));
                    if (Clock::now() > at + std::chrono::milliseconds(100))
                        ++late;
                    std::this_thread::sleep_until(at);
                    Connection c;
                    if (c.open(t) && c.request(t)) {
                        ++done;
                        SSL_shutdown(c.ssl);
                    } else {
                        ++errors;
                    }
                }
            });
        for (auto& w : workers)
            w.join();
        double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf("%.1f %ld %ld\n", static_cast<double>(done) / elapsed, errors.load(), late.load());
        return 0;
    }

    bool keepAlive = mode == "keepalive";
    std::atomic<long> done{0}, errors{0};
    auto deadline = Clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> threads;
    for (int i = 0; i < connections; ++i)
        threads.emplace_back([&] {
            while (Clock::now() < deadline) {
                Connection c;
                if (!c.open(t)) {
                    ++errors;
                    continue;
                }
                do {
                    if (!c.request(t)) {
                        ++errors;
                        break;
                    }
                    ++done;
                } while (keepAlive && Clock::now() < deadline);
                SSL_shutdown(c.ssl);
            }
        });
    for (auto& th : threads)
        th.join();
    std::printf("%.1f %ld\n", static_cast<double>(done) / seconds, errors.load());
    SSL_CTX_free(ctx);
}
