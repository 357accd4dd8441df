#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/DispatchQueue.h"
#include "proxy/io/AbstractSocket.h"
#include "proxy/io/PipeStream.h"

namespace pemtrox {

/// A socket made of two in-memory pipes: what is written to its output pipe is read from
/// the other end (CrossOverSocket), and what that end writes arrives in its input pipe.
/// Both pipes belong to the queue given at creation; the socket is used only there.
class PipeSocket : public AbstractSocket {
public:
    static std::shared_ptr<PipeSocket> make(std::shared_ptr<DispatchQueue> queue);
    explicit PipeSocket(std::shared_ptr<DispatchQueue> queue);

    std::shared_ptr<MyInputStream> inputStream() const override { return inputPipe_; }
    std::shared_ptr<MyOutputStream> outputStream() const override { return outputPipe_; }
    /// The bytes this end reads.
    const std::shared_ptr<PipeStream>& inputPipe() const { return inputPipe_; }
    /// The bytes this end writes.
    const std::shared_ptr<PipeStream>& outputPipe() const { return outputPipe_; }
    const std::shared_ptr<DispatchQueue>& queue() const { return queue_; }

    std::optional<std::string> host() const override { return host_; }
    std::optional<int> port() const override { return port_; }
    std::optional<std::string> localHost() const override { return localHost_; }
    std::optional<int> localPort() const override { return localPort_; }
    /// The addresses are never set by the socket itself; its owner may name them.
    void setHost(std::optional<std::string> host) { host_ = std::move(host); }
    void setPort(std::optional<int> port) { port_ = port; }
    void setLocalHost(std::optional<std::string> host) { localHost_ = std::move(host); }
    void setLocalPort(std::optional<int> port) { localPort_ = port; }

private:
    std::shared_ptr<DispatchQueue> queue_;
    std::shared_ptr<PipeStream> inputPipe_;
    std::shared_ptr<PipeStream> outputPipe_;
    std::optional<std::string> host_, localHost_;
    std::optional<int> port_, localPort_;
};

} // namespace pemtrox
