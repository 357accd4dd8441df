#pragma once

#include "tests/support/FarEnd.h"
#include "tests/support/tunnel/StackHarness.h"

namespace pemtrox::test {

/// An app on the tunnel's stack as a far end: crafted segments of at most 1000 bytes, sent
/// from the test's thread (whose waits pump the stack's output to the app).
class StackEnd : public FarEnd {
public:
    explicit StackEnd(TcpPeer& peer) : peer_(peer) {}
    void send(const std::string& bytes) override {
        for (std::size_t at = 0; at < bytes.size(); at += 1000)
            peer_.send(toData(bytes.substr(at, 1000)));
    }
    void end() override { peer_.fin(); }
    void reset() override { peer_.rst(); }
    std::string received() override { return peer_.received; }
    bool sawEnd() override { return peer_.finReceived; }
    bool sawReset() override { return peer_.rstReceived; }

private:
    TcpPeer& peer_;
};

} // namespace pemtrox::test
