#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "proxy/io/ByteArrayInputStream.h"
#include "proxy/io/NullOutputStream.h"
#include "proxy/io/Socket.h"

namespace pemtrox::test {

/// A socket whose endpoints and transport answers the test sets: closes, resets and the
/// questions asked of it are counted. Not an AbstractBaseSocket: it has no close blocks.
class StubSocket : public Socket {
public:
    std::shared_ptr<MyInputStream> inputStream() const override { return input_; }
    std::shared_ptr<MyOutputStream> outputStream() const override { return output_; }
    std::optional<std::string> host() const override { return host_; }
    std::optional<int> port() const override { return port_; }
    std::optional<std::string> localHost() const override { return localHost_; }
    std::optional<int> localPort() const override { return localPort_; }
    bool isClosed() const override { return closes > 0; }
    void close(ErrorPtr error, CloseCompletion completion) override {
        ++closes;
        if (completion)
            completion(error);
    }
    bool allowHalfClose() override { return halfCloses; }
    bool peerHasLeft(bool unreadKeepsIt, bool unreadAbove) override {
        peerQuestions.emplace_back(unreadKeepsIt, unreadAbove);
        return peerLeft;
    }
    void resetConnection() override { ++resets; }

    std::optional<std::string> host_, localHost_;
    std::optional<int> port_, localPort_;
    std::atomic<int> closes{0};
    bool halfCloses = false;
    bool peerLeft = false;
    int resets = 0;
    /// The arguments of each peerHasLeft.
    std::vector<std::pair<bool, bool>> peerQuestions;

private:
    std::shared_ptr<MyInputStream> input_ = ByteArrayInputStream::make(Data());
    std::shared_ptr<MyOutputStream> output_ = NullOutputStream::make();
};

} // namespace pemtrox::test
