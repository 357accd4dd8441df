#include "tests/support/tunnel/PacketFlowReads.h"

#include <future>

#include "platform/DispatchQueue.h"

namespace pemtrox::test {

std::optional<PacketFlow::Packets> readBatch(const std::shared_ptr<PacketFlow>& flow,
                                             std::chrono::milliseconds timeout) {
    auto batch = std::make_shared<std::promise<PacketFlow::Packets>>();
    auto future = batch->get_future();
    flow->deliveryQueue()->async([flow, batch] {
        flow->readPackets(
            [batch](PacketFlow::Packets packets, auto) { batch->set_value(std::move(packets)); });
    });
    if (future.wait_for(timeout) != std::future_status::ready)
        return std::nullopt;
    return future.get();
}

} // namespace pemtrox::test
