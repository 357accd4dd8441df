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

    /// The addresses are never set by the socket itself; its owner may name them.
    using AbstractSocket::setHost;
    using AbstractSocket::setLocalHost;
    using AbstractSocket::setLocalPort;
    using AbstractSocket::setPort;

private:
    std::shared_ptr<DispatchQueue> queue_;
    std::shared_ptr<PipeStream> inputPipe_;
    std::shared_ptr<PipeStream> outputPipe_;
};

} // namespace pemtrox
