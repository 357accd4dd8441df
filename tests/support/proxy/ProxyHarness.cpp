#include "tests/support/proxy/ProxyHarness.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "proxy/engine/ErrorPage.h"
#include "proxy/engine/HttpProxyHandler.h"
#include "proxy/io/Plumber.h"
#include "tests/support/TestSupport.h"

namespace pemtrox::test {

void RecordingProxyListener::add(const char* name, const std::shared_ptr<ProxyEvent>& evt) {
    std::lock_guard lock(mutex_);
    steps_.push_back({name, evt});
}

void RecordingProxyListener::proxyListenerReceivedRequestURL(const std::shared_ptr<ProxyEvent>& e) {
    add("url", e);
    if (throwOnURL)
        throwOnURL->raise();
}

void RecordingProxyListener::proxyListenerReceivingRequestBody(const std::shared_ptr<ProxyEvent>& e,
                                                               const Data& d) {
    add("requestBody", e);
    std::lock_guard lock(mutex_);
    requestBody_.append(d.begin(), d.end());
}

void RecordingProxyListener::proxyListenerReceivingResponseBody(const std::shared_ptr<ProxyEvent>& e,
                                                                const Data& d) {
    add("responseBody", e);
    std::lock_guard lock(mutex_);
    responseBody_.append(d.begin(), d.end());
}

std::vector<RecordingProxyListener::Step> RecordingProxyListener::steps() {
    std::lock_guard lock(mutex_);
    return steps_;
}

std::vector<std::string> RecordingProxyListener::names() {
    std::vector<std::string> out;
    for (auto& step : steps())
        out.push_back(step.name);
    return out;
}

std::vector<std::shared_ptr<ProxyEvent>> RecordingProxyListener::exchanges(const std::string& step) {
    std::vector<std::shared_ptr<ProxyEvent>> out;
    for (auto& s : steps())
        if (s.name == step)
            out.push_back(s.evt);
    return out;
}

void RecordingProxyListener::clear() {
    std::lock_guard lock(mutex_);
    steps_.clear();
}

std::string RecordingProxyListener::requestBody() {
    std::lock_guard lock(mutex_);
    return requestBody_;
}

std::string RecordingProxyListener::responseBody() {
    std::lock_guard lock(mutex_);
    return responseBody_;
}

namespace {

class PortMappingServer : public HttpProxyServer {
public:
    PortMappingServer(std::shared_ptr<DispatchQueue> queue, std::shared_ptr<std::atomic<int>> port80)
        : HttpProxyServer(std::move(queue)), port80_(std::move(port80)) {}
    std::shared_ptr<Socket> openRemoteSocket(const std::optional<std::string>& scheme,
                                             const InetAddress& address, const std::string& host, int port,
                                             SocketConnectCallback completion) override {
        int mapped = port == 80 ? port80_->load() : 0;
        return HttpProxyServer::openRemoteSocket(scheme, address, host, mapped ? mapped : port,
                                                 std::move(completion));
    }

private:
    std::shared_ptr<std::atomic<int>> port80_;
};

} // namespace

ProxyHarness::ProxyHarness(ServerMaker makeServer) {
    ErrorPage::setDirectory(sourceDirectory() / "resources");
    queue = DispatchQueue::make("proxy");
    queue->sync([&] {
        server = makeServer ? makeServer(queue) : std::make_shared<PortMappingServer>(queue, port80);
        recorder = std::make_shared<RecordingProxyListener>();
        server->addProxyListener(recorder);
        server->bind(0, "127.0.0.1");
        port_ = server->localPort().value_or(0);
    });
}

ProxyHarness::~ProxyHarness() {
    queue->sync([&] {
        server->stopListening();
        server->stop();
    });
    EXPECT_TRUE(waitFor([&] { return server->handlerCount() == 0; })) << "handlers left";
    recorder->clear();
    queue->sync([&] {
        server->removeProxyListener(recorder);
        server.reset();
    });
    recorder.reset();
    for (auto type :
         {"HttpProxyHandler", "ProxyHttp", "HttpRemoteConnection", "ConnectRemoteConnection", "ConnectTunnel",
          "SocketProxyConnection", "ClientSocket", "ProxySocket", "StreamCopier"})
        EXPECT_TRUE(waitFor([&] { return liveCount(type) == 0; })) << type << " left: " << liveCount(type);
    // Let cancelled timers and the closed listener finish on the queue before it stops:
    // their pending operations hold the queue.
    for (int i = 0; i < 3; ++i)
        queue->sync([] {});
    queue->stop();
    ErrorPage::setDirectory(std::nullopt);
    HttpProxyHandler::setDefaultReadTimeout(std::chrono::seconds(60));
}

std::string curl(const ProxyHarness& proxy, const std::string& arguments, int* status) {
    return runCommand("curl -s -S --max-time 20 --noproxy '' -x " + proxy.proxyURL() + " " + arguments,
                      status);
}

void play(RawClient& client, const std::vector<std::string>& steps) {
    std::string reply; // since the last send
    for (auto& step : steps) {
        SCOPED_TRACE(step);
        auto arg = step.substr(1);
        if (step[0] == '>')
            client.send(arg), reply.clear();
        else if (step[0] == '<')
            EXPECT_TRUE((reply += client.readUntil(arg, 15000)).ends_with(arg)) << reply;
        else if (step[0] == '^')
            EXPECT_EQ(client.readUntil(arg, 15000), arg), reply += arg;
        else if (step[0] == '!')
            EXPECT_EQ(reply.find(arg), std::string::npos) << reply;
        else if (step[0] == '=')
            EXPECT_EQ(client.readAll(), arg);
        else if (step == "close")
            client.close();
        else if (step == "reset")
            client.reset();
    }
}

std::int64_t liveCount(const std::string& type) {
    return Plumber::count(std::string(plumberModuleName) + "." + type);
}

} // namespace pemtrox::test
