#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/DispatchQueue.h"
#include "proxy/engine/HttpProxyServer.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/engine/ProxyServerAdapter.h"
#include "tests/support/TestOrigin.h"

namespace pemtrox::test {

/// Keeps every step of every exchange as "step status description", and lets a test
/// make the request steps throw.
class RecordingProxyListener : public ProxyServerAdapter {
public:
    struct Step {
        std::string name;
        std::shared_ptr<ProxyEvent> evt;
    };
    std::vector<Step> steps();
    std::vector<std::string> names();
    /// The exchanges that reached the step, in order.
    std::vector<std::shared_ptr<ProxyEvent>> exchanges(const std::string& step);
    /// Thrown from proxyListenerReceivedRequestURL when set.
    ErrorPtr throwOnURL;

    void proxyListenerTransactionConnect(const std::shared_ptr<ProxyEvent>& e) override { add("connect", e); }
    void proxyListenerTransactionComplete(const std::shared_ptr<ProxyEvent>& e) override {
        add("complete", e);
    }
    void proxyListenerTransactionException(const std::shared_ptr<ProxyEvent>& e) override {
        add("exception", e);
    }
    void proxyListenerTransactionCancelled(const std::shared_ptr<ProxyEvent>& e) override {
        add("cancelled", e);
    }
    void proxyListenerReceivedRequestAddress(const std::shared_ptr<ProxyEvent>& e) override {
        add("address", e);
    }
    void proxyListenerReceivedRequestURL(const std::shared_ptr<ProxyEvent>& e) override;
    void proxyListenerReceivedRequestHeader(const std::shared_ptr<ProxyEvent>& e) override {
        add("header", e);
    }
    void proxyListenerSentRequestHeader(const std::shared_ptr<ProxyEvent>& e) override {
        add("sentHeader", e);
    }
    void proxyListenerReceivedRequest(const std::shared_ptr<ProxyEvent>& e) override { add("request", e); }
    void proxyListenerReceivingRequestBody(const std::shared_ptr<ProxyEvent>& e, const Data& d) override;
    void proxyListenerReceivedResponseHeader(const std::shared_ptr<ProxyEvent>& e) override {
        add("responseHeader", e);
    }
    void proxyListenerSentResponseHeader(const std::shared_ptr<ProxyEvent>& e) override {
        add("sentResponseHeader", e);
    }
    void proxyListenerReceivingResponseBody(const std::shared_ptr<ProxyEvent>& e, const Data& d) override;
    void proxyListenerReceivedResponse(const std::shared_ptr<ProxyEvent>& e) override { add("response", e); }
    void proxyListenerResolvingRemote(const std::shared_ptr<ProxyEvent>& e) override { add("resolving", e); }
    void proxyListenerConnectingToRemote(const std::shared_ptr<ProxyEvent>& e) override {
        add("connecting", e);
    }
    void proxyListenerConnectedToRemote(const std::shared_ptr<ProxyEvent>& e) override {
        add("connected", e);
    }

    std::string requestBody();
    std::string responseBody();
    /// Drops the kept records (they hold their server).
    void clear();

private:
    void add(const char* name, const std::shared_ptr<ProxyEvent>& evt);
    std::mutex mutex_;
    std::vector<Step> steps_;
    std::string requestBody_, responseBody_;
};

/// The proxy under test on 127.0.0.1, port 0, with a recording listener. On destruction
/// it stops, waits for every handler to end and checks that no counted object is left.
class ProxyHarness {
public:
    using ServerMaker = std::function<std::shared_ptr<SocketProxyServer>(std::shared_ptr<DispatchQueue>)>;
    /// An HttpProxyServer unless a maker is given (called on the queue).
    explicit ProxyHarness(ServerMaker makeServer = nullptr);
    ~ProxyHarness();
    int port() const { return port_; }
    std::string proxyURL() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::shared_ptr<SocketProxyServer> server;
    /// Where connections to port 80 go instead (0: port 80 itself), so that a test can
    /// send requests without an explicit port to a test server.
    std::shared_ptr<std::atomic<int>> port80 = std::make_shared<std::atomic<int>>(0);
    std::shared_ptr<RecordingProxyListener> recorder;
    std::shared_ptr<DispatchQueue> queue;

private:
    int port_ = 0;
};

/// Runs curl through the proxy with the arguments; returns stdout, the exit code in *status.
std::string curl(const ProxyHarness& proxy, const std::string& arguments, int* status = nullptr);

/// Runs one client's steps: ">bytes" sends, "<text" reads up to the text (and expects it),
/// "^text" expects exactly the text next, "!text" expects none of it in the reply since the
/// last send, "=text" reads to the end and expects exactly the text, "close" and "reset" end
/// the connection.
void play(RawClient& client, const std::vector<std::string>& steps);

/// The live count of a counted type, e.g. "HttpProxyHandler".
std::int64_t liveCount(const std::string& type);

} // namespace pemtrox::test
