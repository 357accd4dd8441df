#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "proxy/io/AbstractBaseSocket.h"

namespace pemtrox {

/// Takes the next socket index from the counter that every socket shares (from 0 up).
std::int64_t takeNextGlobalIndex();

/// Base of every concrete socket: the once-only close with its fixed order of steps, the
/// stream close coordination and the release check.
///
/// Close sequence: mark closed; willCloseBlock; closeImpl (by default: close the input
/// stream); close the output stream; didCloseBlock; the subclass's final step, which ends
/// with the caller's completion. Each step hands the next the error it got or chose.
///
/// The endpoints are those the concrete socket records (a socket whose endpoints are
/// another's overrides the four accessors).
class AbstractSocket : public AbstractBaseSocket {
public:
    /// Fatal "<type name> deinited without being closed" when released open.
    ~AbstractSocket() override;

    bool isClosed() const override { return closed_; }
    std::optional<std::string> host() const override { return host_; }
    std::optional<int> port() const override { return port_; }
    std::optional<std::string> localHost() const override { return localHost_; }
    std::optional<int> localPort() const override { return localPort_; }
    std::int64_t globalIndex() const { return globalIndex_; }
    std::optional<std::int64_t> connectionIndex() const override { return globalIndex_; }

    /// Closes once: a second call only runs its completion with its own error.
    void close(ErrorPtr error = nullptr, CloseCompletion completion = nullptr) override;

    /// The shared stream close coordination: the reporting stream must be the socket's own
    /// (fatal otherwise); when the other stream is closed too the socket closes, else the
    /// completion runs with the error.
    void inputStreamDidClose(const MyInputStream& stream, ErrorPtr error, CloseCompletion completion);
    void outputStreamDidClose(const MyOutputStream& stream, ErrorPtr error, CloseCompletion completion);

protected:
    AbstractSocket();

    /// The subclass's own closing work; must call the completion exactly once. Default:
    /// closes the input stream with the error.
    virtual void closeImpl(ErrorPtr error, CloseCompletion completion);
    /// What follows didCloseBlock; default: the completion with the error.
    virtual void finalCloseStep(ErrorPtr error, CloseCompletion completion);

    /// Marks the socket closed; false when it already was.
    bool markClosed();
    /// Runs the close sequence after markClosed (for closes that start elsewhere: a
    /// disconnection, a coupled socket).
    void runCloseSequence(ErrorPtr error, CloseCompletion completion);

    void setHost(std::optional<std::string> host) { host_ = std::move(host); }
    void setPort(std::optional<int> port) { port_ = port; }
    void setLocalHost(std::optional<std::string> host) { localHost_ = std::move(host); }
    void setLocalPort(std::optional<int> port) { localPort_ = port; }

private:
    bool closed_ = false;
    std::int64_t globalIndex_;
    std::optional<std::string> host_, localHost_;
    std::optional<int> port_, localPort_;
};

} // namespace pemtrox
