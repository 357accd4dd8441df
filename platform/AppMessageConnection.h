#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace pemtrox {

/// One client of the app-message socket, served without ever blocking: its request frame is
/// gathered as the bytes arrive, and the reply leaves as fast as the client takes it, so a
/// silent or slow client holds up nobody else. Owns the descriptor (non-blocking). Used on
/// the server's thread only.
class AppMessageConnection {
public:
    using Bytes = std::vector<std::uint8_t>;
    using Clock = std::chrono::steady_clock;
    enum class State {
        /// Waiting for (the rest of) the request.
        reading,
        /// Sending the reply.
        writing,
        /// Finished or failed; the server closes it.
        done,
    };

    /// The request must be whole by the deadline.
    AppMessageConnection(int fd, Clock::time_point deadline);
    ~AppMessageConnection();
    AppMessageConnection(const AppMessageConnection&) = delete;
    AppMessageConnection& operator=(const AppMessageConnection&) = delete;

    int fd() const { return fd_; }
    State state() const { return state_; }
    Clock::time_point deadline() const { return deadline_; }
    /// What to wait for on the descriptor in the current state.
    short events() const;

    /// Reads what has arrived; the request's bytes once its frame is whole (the state stays
    /// reading until reply() or finish()). The end of the input, an error or a frame longer
    /// than `limit` ends the connection.
    std::optional<Bytes> receive(std::size_t limit);
    /// Sends the reply as one frame, to be taken whole by the deadline.
    void reply(const Bytes& body, Clock::time_point deadline);
    /// Sends more of the reply; done once all of it is gone.
    void send();
    /// Ends the connection (no reply, time-out, or room for a newer one).
    void finish() { state_ = State::done; }

private:
    int fd_;
    State state_ = State::reading;
    Clock::time_point deadline_;
    /// The header's four bytes, then the request.
    Bytes input_;
    Bytes output_;
    std::size_t sent_ = 0;
};

} // namespace pemtrox
