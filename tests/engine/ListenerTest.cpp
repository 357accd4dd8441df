#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/DispatchQueue.h"
#include "proxy/engine/AbstractProxyServer.h"
#include "proxy/engine/LoggingProxyListener.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/engine/ProxyServerListenerMultiplexer.h"
#include "tests/support/TestSupport.h"
#include "tests/support/proxy/NullProxyServer.h"

namespace pemtrox {
namespace {

class Refused : public ErrorBase<Refused> {
public:
    explicit Refused(std::string who) : who_(std::move(who)) {}
    std::string description() const override { return "refused by " + who_; }

private:
    std::string who_;
};

// Records the callbacks it receives into a shared trace; may throw from each of them.
class Recorder : public ProxyServerAdapter {
public:
    Recorder(std::string name, std::vector<std::string>* trace, bool throws = false)
        : name_(std::move(name)), trace_(trace), throws_(throws) {}
    void proxyListenerReceivedRequestAddress(const std::shared_ptr<ProxyEvent>&) override { add("address"); }
    void proxyListenerReceivedRequestURL(const std::shared_ptr<ProxyEvent>&) override { add("url"); }
    void proxyListenerReceivedRequestHeader(const std::shared_ptr<ProxyEvent>&) override { add("header"); }
    void proxyListenerReceivedResponse(const std::shared_ptr<ProxyEvent>&) override { add("response"); }
    void proxyListenerReceivingResponseBody(const std::shared_ptr<ProxyEvent>&, const Data& data) override {
        add("body" + std::to_string(data.size()));
    }

private:
    void add(const std::string& step) {
        trace_->push_back(name_ + ":" + step);
        if (throws_)
            throw Refused(name_);
    }
    std::string name_;
    std::vector<std::string>* trace_;
    bool throws_;
};

TEST(MultiplexerTest, ThrowingListenerStopsTheWalkOfRequestStepsOnly) {
    std::vector<std::string> trace;
    ProxyServerListenerMultiplexer mux;
    mux.listeners.assign({std::make_shared<Recorder>("A", &trace),
                          std::make_shared<Recorder>("B", &trace, true),
                          std::make_shared<Recorder>("C", &trace)});
    auto evt = ProxyEvent::make(nullptr);
    using Step = void (ProxyServerListener::*)(const std::shared_ptr<ProxyEvent>&);
    struct Case {
        Step step;
        const char* name;
        bool stops;
    } cases[] = {{&ProxyServerListener::proxyListenerReceivedRequestAddress, "address", true},
                 {&ProxyServerListener::proxyListenerReceivedRequestURL, "url", true},
                 {&ProxyServerListener::proxyListenerReceivedRequestHeader, "header", true},
                 {&ProxyServerListener::proxyListenerReceivedResponse, "response", false}};
    for (auto& c : cases) {
        trace.clear();
        std::string thrown;
        try {
            (mux.*c.step)(evt);
        } catch (const Refused& e) {
            thrown = e.description();
        }
        std::string n = c.name;
        EXPECT_EQ(thrown, c.stops ? "refused by B" : "") << n;
        auto expected = std::vector<std::string>{"A:" + n, "B:" + n};
        if (!c.stops)
            expected.push_back("C:" + n);
        EXPECT_EQ(trace, expected);
    }
    trace.clear();
    mux.proxyListenerReceivingResponseBody(evt, Data(3));
    EXPECT_EQ(trace, (std::vector<std::string>{"A:body3", "B:body3", "C:body3"}));
    ProxyServerListenerMultiplexer empty;
    EXPECT_NO_THROW(empty.proxyListenerReceivedRequestURL(evt));
}

TEST(ProxyServerFanOutTest, NotifiersSetTheStageAndListenersAreKeptOnce) {
    auto server = std::make_shared<test::NullProxyServer>();
    std::vector<std::string> trace;
    auto a = std::make_shared<Recorder>("A", &trace);
    server->addProxyListener(a);
    server->addProxyListener(a);
    auto evt = ProxyEvent::make(server);

    struct StageCase {
        void (InternalProxyServer::*notify)(const std::shared_ptr<ProxyEvent>&);
        ProxyEventStatus stage;
    };
    std::vector<StageCase> cases = {
        {&InternalProxyServer::notifyTransactionConnect, ProxyEventStatus::before},
        {&InternalProxyServer::notifyTransactionComplete, ProxyEventStatus::complete},
        {&InternalProxyServer::notifyTransactionException, ProxyEventStatus::exception},
        {&InternalProxyServer::notifyTransactionCancelled, ProxyEventStatus::exception},
        {&InternalProxyServer::notifyReceivedRequestAddress, ProxyEventStatus::receivedRequestFirstLine},
        {&InternalProxyServer::notifyReceivedRequestURL, ProxyEventStatus::receivedRequestURL},
        {&InternalProxyServer::notifyReceivedRequestHeader, ProxyEventStatus::receivedRequestHeader},
        {&InternalProxyServer::notifyReceivedRequest, ProxyEventStatus::receivedRequestBody},
        {&InternalProxyServer::notifyReceivedResponseHeader, ProxyEventStatus::receivedResponseHeader},
        {&InternalProxyServer::notifyReceivedResponse, ProxyEventStatus::receivedResponseBody},
        {&InternalProxyServer::notifyResolvingRemote, ProxyEventStatus::resolving},
        {&InternalProxyServer::notifyConnectingToRemote, ProxyEventStatus::connecting},
        {&InternalProxyServer::notifyConnectedToRemote, ProxyEventStatus::connected},
    };
    for (auto& c : cases) {
        evt->status = ProxyEventStatus::blocked;
        (server.get()->*c.notify)(evt);
        EXPECT_EQ(evt->status, c.stage);
    }
    server->notifyReceivingRequestBody(evt, Data(2));
    EXPECT_EQ(evt->status, ProxyEventStatus::receivingRequestBody);
    server->notifyReceivingResponseBody(evt, Data(2));
    EXPECT_EQ(evt->status, ProxyEventStatus::receivingResponseBody);
    server->notifySentRequestHeader(evt);
    server->notifySentResponseHeader(evt);
    EXPECT_EQ(evt->status, ProxyEventStatus::receivingResponseBody);
    EXPECT_EQ(trace, (std::vector<std::string>{"A:address", "A:url", "A:header", "A:response", "A:body2"}));

    server->removeProxyListener(a);
    server->removeProxyListener(a);
    trace.clear();
    server->notifyReceivedResponse(evt);
    EXPECT_TRUE(trace.empty());
}

// Removes itself (and adds another) from inside its callback.
class SelfRemover : public ProxyServerAdapter, public std::enable_shared_from_this<SelfRemover> {
public:
    SelfRemover(std::shared_ptr<AbstractProxyServer> server, std::shared_ptr<ProxyServerListener> late)
        : server_(std::move(server)), late_(std::move(late)) {}
    void proxyListenerConnectedToRemote(const std::shared_ptr<ProxyEvent>&) override {
        ++calls;
        server_->removeProxyListener(shared_from_this());
        server_->addProxyListener(late_);
    }
    int calls = 0;

private:
    std::shared_ptr<AbstractProxyServer> server_;
    std::shared_ptr<ProxyServerListener> late_;
};

class Counter : public ProxyServerAdapter {
public:
    void proxyListenerConnectedToRemote(const std::shared_ptr<ProxyEvent>&) override { ++calls; }
    std::atomic<int> calls{0};
};

TEST(ProxyServerFanOutTest, ChangesDuringAWalkApplyToTheNextStep) {
    auto server = std::make_shared<test::NullProxyServer>();
    auto late = std::make_shared<Counter>();
    auto steady = std::make_shared<Counter>();
    auto remover = std::make_shared<SelfRemover>(server, late);
    server->addProxyListener(remover);
    server->addProxyListener(steady);
    auto evt = ProxyEvent::make(nullptr);
    server->notifyConnectedToRemote(evt);
    EXPECT_EQ(remover->calls, 1);
    EXPECT_EQ(steady->calls, 1);
    EXPECT_EQ(late->calls, 0);
    server->notifyConnectedToRemote(evt);
    EXPECT_EQ(remover->calls, 1);
    EXPECT_EQ(steady->calls, 2);
    EXPECT_EQ(late->calls, 1);
}

TEST(ProxyServerFanOutTest, ListenersChangeFromOtherThreadsDuringWalks) {
    auto server = std::make_shared<test::NullProxyServer>();
    auto steady = std::make_shared<Counter>();
    server->addProxyListener(steady);
    std::atomic<bool> stop{false};
    std::vector<std::thread> changers;
    for (int t = 0; t < 3; ++t) {
        changers.emplace_back([&] {
            while (!stop) {
                auto transient = std::make_shared<Counter>();
                server->addProxyListener(transient);
                server->removeProxyListener(transient);
            }
        });
    }
    auto evt = ProxyEvent::make(nullptr);
    for (int i = 0; i < 20000; ++i)
        server->notifyConnectedToRemote(evt);
    stop = true;
    for (auto& t : changers)
        t.join();
    EXPECT_EQ(steady->calls, 20000);
}

TEST(LoggingProxyListenerTest, OneDebugLinePerRequest) {
    auto logger = test::CapturingLogger::install();
    auto server = std::make_shared<test::NullProxyServer>();
    server->addProxyListener(std::make_shared<LoggingProxyListener>());
    auto evt = ProxyEvent::make(server);
    evt->method = "GET";
    evt->scheme = "http";
    evt->host = "h";
    evt->setPath("/p");
    server->notifyReceivedRequest(evt);
    server->notifyReceivedResponse(evt);
    int count = 0;
    for (auto& line : logger->lines())
        count += line.find("Request: GET http://h/p") != std::string::npos;
    EXPECT_EQ(count, 1);
}

} // namespace
} // namespace pemtrox
