#pragma once

#include <memory>

#include "proxy/io/AbstractSocket.h"
#include "proxy/io/PipeSocket.h"

namespace pemtrox {

/// The other end of a PipeSocket: its input is the pipe socket's output pipe and its output
/// the pipe socket's input pipe, and its addresses are the pipe socket's crossed.
///
/// Closing the pipe socket closes this socket first (through a will-close block on it);
/// closing this socket alone closes both pipes but leaves the pipe socket to its owner.
class CrossOverSocket : public AbstractSocket {
public:
    static std::shared_ptr<CrossOverSocket> make(std::shared_ptr<PipeSocket> other);
    explicit CrossOverSocket(std::shared_ptr<PipeSocket> other);

    std::shared_ptr<MyInputStream> inputStream() const override { return other_->outputPipe(); }
    std::shared_ptr<MyOutputStream> outputStream() const override { return other_->inputPipe(); }
    /// Always "localhost".
    std::optional<std::string> host() const override { return "localhost"; }
    std::optional<int> port() const override { return other_->localPort(); }
    std::optional<std::string> localHost() const override { return other_->host(); }
    std::optional<int> localPort() const override { return other_->port(); }

    const std::shared_ptr<PipeSocket>& other() const { return other_; }

private:
    std::shared_ptr<PipeSocket> other_;
};

} // namespace pemtrox
