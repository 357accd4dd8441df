#include "TunPacketFlow.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/DescriptorWatch.h"
#include "platform/DispatchQueue.h"
#include "platform/Log.h"
#include "platform/TunDevice.h"

namespace pemtrox {

std::shared_ptr<TunPacketFlow> TunPacketFlow::make(const std::string& name) {
    return make(TunDevice::create(name));
}

std::shared_ptr<TunPacketFlow> TunPacketFlow::make(TunDevice device) {
    auto name = device.name();
    return std::shared_ptr<TunPacketFlow>(new TunPacketFlow(device.release(), name));
}

// Reads on the delivery queue: waits for the device in that queue's event loop, through a
// duplicate of the device's descriptor that only the queue touches and that closes with it.
class TunPacketFlow::QueueReader : public std::enable_shared_from_this<QueueReader> {
public:
    QueueReader(TunPacketFlow& flow, std::shared_ptr<DispatchQueue> queue, int fd)
        : flow_(&flow), queue_(std::move(queue)), watch_(queue_->watchDescriptor(fd)) {}

    const std::shared_ptr<DispatchQueue>& queue() const { return queue_; }

    // On the queue. Asked for inside the delivery of the previous batch, the read is taken
    // up by that delivery's loop at once instead of going round the queue.
    void read(ReadHandler handler) {
        handler_ = std::move(handler);
        if (!delivering_)
            queue_->async([self = shared_from_this()] { self->tryRead(); });
    }

    // On the queue; the flow is not touched afterwards.
    void close() {
        flow_ = nullptr;
        handler_ = nullptr;
        watch_->close();
    }

private:
    /// Batches handed over in one turn of the queue before the rest of its work gets a turn.
    static constexpr int batchesPerTurn = 4;

    void tryRead() {
        auto self = shared_from_this(); // a handler may close the flow and drop the reader
        for (int turn = 0; flow_ && handler_ && !waiting_; ++turn) {
            if (turn == batchesPerTurn) {
                queue_->async([self] { self->tryRead(); });
                return;
            }
            Packets packets;
            Protocols protocols;
            if (!flow_->readBatch(watch_->descriptor(), packets, protocols))
                return; // the reading ends
            if (packets.empty()) {
                waiting_ = true;
                watch_->waitReadable([self](bool readable) {
                    self->waiting_ = false;
                    if (readable)
                        self->tryRead();
                });
                return;
            }
            delivering_ = true;
            std::exchange(handler_, nullptr)(std::move(packets), std::move(protocols));
            delivering_ = false;
        }
    }

    TunPacketFlow* flow_;
    std::shared_ptr<DispatchQueue> queue_; // outlives the watch, which lives in its loop
    std::shared_ptr<DescriptorWatch> watch_;
    ReadHandler handler_;
    bool waiting_ = false;
    bool delivering_ = false; // inside a handler, whose next read this loop takes up
};

TunPacketFlow::TunPacketFlow(int fd, std::string name) : name_(std::move(name)), fd_(fd) {}

TunPacketFlow::~TunPacketFlow() {
    close();
}

void TunPacketFlow::readPackets(ReadHandler handler) {
    auto queue = deliveryQueue();
    std::shared_ptr<QueueReader> queueReader;
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return;
        if (!queueReader_ || queueReader_->queue() != queue) {
            int duplicate = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
            if (duplicate < 0) {
                LOG_ERROR("TUN device {}: reading failed: {}", name_, std::strerror(errno));
                return;
            }
            if (queueReader_)
                queueReader_->queue()->async([old = queueReader_] { old->close(); });
            queueReader_ = std::make_shared<QueueReader>(*this, queue, duplicate);
        }
        queueReader = queueReader_;
    }
    queueReader->read(std::move(handler));
}

bool TunPacketFlow::readBatch(int fd, Packets& packets, Protocols& protocols) {
    thread_local Data buffer(65536);
    while (packets.size() < maxBatch) {
        ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n >= 0) {
            packets.emplace_back(buffer.begin(), buffer.begin() + n);
            protocols.push_back(n > 0 && buffer[0] >> 4 == 6 ? AF_INET6 : AF_INET);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || !packets.empty())
            return true;
        LOG_ERROR("TUN device {}: reading failed: {}", name_, std::strerror(errno));
        return false;
    }
    return true;
}

bool TunPacketFlow::writePackets(Packets packets, Protocols) {
    // Shared: a write runs the receiving side's kernel work in this thread, and must hold
    // up neither the reader nor another writer, only the close.
    std::shared_lock lock(fdMutex_);
    for (const auto& packet : packets)
        if (fd_ < 0 || ::write(fd_, packet.data(), packet.size()) != static_cast<ssize_t>(packet.size()))
            return false;
    return true;
}

bool TunPacketFlow::writePacket(std::span<const iovec> pieces, int) {
    std::size_t length = 0;
    for (const auto& piece : pieces)
        length += piece.iov_len;
    std::shared_lock lock(fdMutex_);
    return fd_ >= 0 &&
           ::writev(fd_, pieces.data(), static_cast<int>(pieces.size())) == static_cast<ssize_t>(length);
}

void TunPacketFlow::close() {
    std::shared_ptr<QueueReader> queueReader;
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return;
        closed_ = true;
        queueReader = std::move(queueReader_);
    }
    if (queueReader && queueReader->queue()->isCurrent())
        queueReader->close();
    else if (queueReader) // never waits: the queue may be waiting for this thread
        queueReader->queue()->async([queueReader] { queueReader->close(); });
    std::unique_lock lock(fdMutex_);
    ::close(fd_);
    fd_ = -1;
}

} // namespace pemtrox
