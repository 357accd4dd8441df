#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pemtrox {

class AppMessageConnection;

/// The link between the running program and the user's side that sends it app messages:
/// a Unix-domain socket at a path (a file, mode 0600, so that it is private to the user
/// and visible from every network namespace).
///
/// Frames, both ways: a 4-byte big-endian length, then that many bytes. A request's first
/// byte says whether a reply is wanted (1) or not (0); the rest is the message. A reply
/// is sent only when one was wanted.
///
/// Every client is served on its own, without blocking: one that is silent or slow delays
/// nobody. Each must send its request within the read time-out and take its reply within
/// as long again. At most `maxConnections` are open at once; a newcomer beyond that closes
/// the oldest one still waiting for its request.
class AppMessageServer {
public:
    using Bytes = std::vector<std::uint8_t>;
    /// Runs on the server's own thread, one message at a time. Returns the reply, or none
    /// when none was wanted.
    using Handler = std::function<std::optional<Bytes>(const Bytes& message, bool wantsReply)>;

    /// The largest request accepted; a longer one closes the connection unanswered.
    static constexpr std::size_t maxFrame = 64 * 1024;
    static constexpr std::size_t defaultMaxConnections = 64;

    /// Listens at the path and serves on a thread of its own. A socket file left by an
    /// earlier run that no longer answers is replaced; one that answers is not (Error).
    /// Throws Error when the path does not fit a socket address or cannot be bound.
    static std::unique_ptr<AppMessageServer>
    start(std::filesystem::path path, Handler handler,
          std::chrono::milliseconds readTimeout = std::chrono::seconds(2),
          std::size_t maxConnections = defaultMaxConnections);
    ~AppMessageServer();
    AppMessageServer(const AppMessageServer&) = delete;
    AppMessageServer& operator=(const AppMessageServer&) = delete;

    /// Stops serving, waits for the thread and removes the socket file. Safe to call twice.
    void stop();
    const std::filesystem::path& path() const { return path_; }

private:
    struct Connections;
    AppMessageServer(std::filesystem::path path, Handler handler, std::chrono::milliseconds readTimeout,
                     std::size_t maxConnections);
    void run();
    /// Takes the clients waiting to be accepted, as many as there is room for.
    void acceptWaiting(Connections& connections);
    /// Reads and, once a request is whole, answers it.
    void serve(AppMessageConnection& connection);
    std::filesystem::path path_;
    Handler handler_;
    std::chrono::milliseconds readTimeout_;
    std::size_t maxConnections_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    struct Thread;
    std::unique_ptr<Thread> thread_;
};

/// Sends one app message and, when wanted, waits for the reply. Throws Error when nothing
/// listens at the path, the peer hangs up, or the time runs out.
std::optional<AppMessageServer::Bytes>
sendAppMessage(const std::filesystem::path& path, const AppMessageServer::Bytes& message, bool wantsReply,
               std::chrono::milliseconds timeout = std::chrono::seconds(5));

} // namespace pemtrox
