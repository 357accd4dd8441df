#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace pemtrox::test {

/// One accepted connection of a TestOrigin, driven by a script on its own thread with
/// plain blocking sockets (so that the origin shares nothing with the code under test).
class OriginConnection {
public:
    explicit OriginConnection(int fd) : fd_(fd) {}
    ~OriginConnection();
    /// The next request or response head (up to and including the blank line); absent at
    /// the end of the stream.
    std::optional<std::string> readHead();
    /// Exactly n bytes (fewer at the end of the stream).
    std::string readBytes(std::size_t n);
    /// A chunked body, de-chunked.
    std::string readChunkedBody();
    /// Whatever arrives within the time, up to the end of the stream.
    std::string readAvailable(int timeoutMs);
    /// Everything until the peer closes.
    std::string readToEnd();
    void write(const std::string& bytes);
    /// Ends our sending side (FIN) and keeps reading.
    void shutdownWrite();
    /// Closes our side (FIN).
    void close();
    /// Closes with a reset (RST).
    void reset();

protected:
    /// Reads what arrives within the time (-1: waits); false at the end, on an error or on time.
    bool fill(int timeoutMs = -1);
    bool fillBefore(std::chrono::steady_clock::time_point deadline);
    int fd_;
    std::string buffer_;
    bool ended_ = false, wasReset_ = false; ///< the peer closed; it reset the connection
};

/// A blocking TCP client of a loopback port, for raw byte tests.
class RawClient : public OriginConnection {
public:
    /// A receive buffer size other than 0 is set before connecting (a peer that reads slowly).
    explicit RawClient(int port, int receiveBuffer = 0);
    void send(const std::string& bytes) { write(bytes); }
    /// Reads until the text contains `marker` (or the peer closes / the time runs out).
    std::string readUntil(const std::string& marker, int timeoutMs = 5000);
    /// Reads until the peer closes or the time runs out.
    std::string readAll(int timeoutMs = 5000) { return readUntil("", timeoutMs); }
    /// Whether the peer closed the connection within the time.
    bool closedByPeer(int timeoutMs = 5000);
    /// Whether a read ended with a reset from the peer rather than a clean end.
    bool wasReset() const { return wasReset_; }
};

/// A scriptable origin server on a loopback address (127.0.0.1, port 0 unless given). Each accepted
/// connection runs the script; the accepts are counted and the request heads kept.
class TestOrigin {
public:
    using Script = std::function<void(OriginConnection&, TestOrigin&)>;
    /// Throws std::runtime_error when it cannot listen there.
    explicit TestOrigin(Script script, const std::string& address = "127.0.0.1", int port = 0);
    ~TestOrigin();
    int port() const { return port_; }
    /// "http://127.0.0.1:port" and the path.
    std::string url(const std::string& path = "/") const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    /// A GET of the path in the proxy's absolute form.
    std::string get(const std::string& path = "/") const {
        return "GET " + url(path) + " HTTP/1.1\r\nHost: x\r\n\r\n";
    }
    int accepts() const { return accepts_; }
    void recordHead(const std::string& head);
    std::vector<std::string> heads();

    /// Serves each request of a kept-alive connection with the response that `respond`
    /// gives for its head (reading a Content-Length or chunked request body first).
    static Script
    serveEach(std::function<std::string(const std::string& head, const std::string& body)> respond);
    /// Serves each request with ok(body).
    static Script answering(const std::string& body) {
        return serveEach([body](const std::string&, const std::string&) { return ok(body); });
    }
    /// A 200 response with a Content-Length, the extra field lines and the body.
    static std::string ok(const std::string& body, const std::string& extraFields = "") {
        return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extraFields +
               "\r\n" + body;
    }

private:
    void acceptLoop();
    Script script_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<int> accepts_{0};
    std::atomic<bool> stopping_{false};
    std::thread acceptThread_;
    std::mutex mutex_;
    std::vector<std::thread> threads_;
    std::vector<int> fds_;
    std::vector<std::string> heads_;
};

/// The value of a header field in a head text (first match, case-insensitive), or "".
std::string headerValue(const std::string& head, const std::string& name);

} // namespace pemtrox::test
