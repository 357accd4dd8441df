#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include "PacketTunnel/PacketFlow.h"

namespace pemtrox::test {

/// Asks the flow for its next batch on its delivery queue, where a device's flow takes its
/// reads, and waits for it from the calling thread; nullopt when none comes in time (the read
/// stays outstanding and the next one takes its place).
std::optional<PacketFlow::Packets> readBatch(const std::shared_ptr<PacketFlow>& flow,
                                             std::chrono::milliseconds timeout);

} // namespace pemtrox::test
