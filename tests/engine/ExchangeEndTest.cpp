// How an exchange ends when a peer closes right after the response's last byte, while that
// byte is still on its way to the client (its write not yet taken): an exchange whose whole
// response went to the client is complete, one whose response was cut is not. The client's
// writes are held and let go by the test, so each ordering is met exactly.
#include <gtest/gtest.h>

#include "platform/DispatchQueue.h"
#include "proxy/engine/HttpInputStream.h"
#include "proxy/engine/HttpProxyServer.h"
#include "proxy/engine/PipeRemoteConnection.h"
#include "proxy/engine/ProxyConnection.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/engine/ProxyServerAdapter.h"
#include "proxy/io/HttpOutputStream.h"
#include "proxy/io/NullOutputStream.h"
#include "proxy/io/PipeStream.h"
#include "proxy/io/SocketError.h"
#include "tests/io/StreamTestSupport.h"
#include "tests/support/TestSupport.h"
#include "tests/support/proxy/ProxyHarness.h"

namespace pemtrox::test {
namespace {

/// A client connection whose requests the test writes and whose response writes it holds.
class HeldClient : public ProxyConnection {
public:
    explicit HeldClient(std::shared_ptr<DispatchQueue> queue)
        : requests(PipeStream::make(std::move(queue))), in_(HttpInputStream::make(requests)),
          out_(HttpOutputStream::make(target.stream)) {
        target.hold = true;
    }
    std::shared_ptr<const InetAddress> address() const override { return nullptr; }
    std::optional<std::int64_t> port() const override { return std::nullopt; }
    std::shared_ptr<const InetAddress> localAddress() const override { return nullptr; }
    std::optional<std::int64_t> localPort() const override { return std::nullopt; }
    std::shared_ptr<HttpInputStream> inputStream() const override { return in_; }
    std::shared_ptr<HttpOutputStream> outputStream() const override { return out_; }
    void close() override { ++closes; }

    /// Lets the held writes go, oldest first.
    void release() {
        auto held = std::exchange(target.held, {});
        for (auto& completion : held)
            completion(OutputStreamWriteHandlerResult::ready());
    }

    std::shared_ptr<PipeStream> requests;
    RecordingTarget target;
    int closes = 0;

private:
    std::shared_ptr<HttpInputStream> in_;
    std::shared_ptr<HttpOutputStream> out_;
};

/// The server of every request: a pipe the test writes the response into and closes.
class PipedOrigin : public ProxyServerAdapter {
public:
    explicit PipedOrigin(std::shared_ptr<DispatchQueue> queue)
        : response(PipeStream::make(std::move(queue))) {}
    void proxyListenerReceivedRequestURL(const std::shared_ptr<ProxyEvent>& evt) override {
        evt->overrideRemoteConnection = PipeRemoteConnection::make(
            HttpInputStream::make(response), HttpOutputStream::make(NullOutputStream::make()));
    }
    std::shared_ptr<PipeStream> response;
};

enum class Close { none, eof, closedByPeer, resetByPeer };

ErrorPtr closeError(Close close) {
    switch (close) {
    case Close::closedByPeer:
        return makeError<SocketError>(SocketError::connectionClosedByPeer());
    case Close::resetByPeer:
        return makeError<SocketError>(SocketError::connectionResetByPeer());
    default:
        return nullptr;
    }
}

/// One exchange through the proxy's handler, from a held client to a piped origin; on
/// destruction it stops the server and checks that nothing of the exchange is left.
class HeldExchange {
public:
    HeldExchange() {
        queue->sync([&] {
            server = HttpProxyServer::make(queue);
            server->addProxyListener(recorder);
            origin = std::make_shared<PipedOrigin>(queue);
            server->addProxyListener(origin);
            client = std::make_shared<HeldClient>(queue);
            server->handleConnection(client);
            client->requests->write(
                toData("GET http://origin.test/file HTTP/1.1\r\nHost: origin.test\r\n\r\n"), false, nullptr);
        });
    }
    ~HeldExchange() {
        queue->sync([&] {
            client->release();
            client->requests->close();
            server->stop();
        });
        EXPECT_TRUE(waitFor([&] { return queue->onQueue([&] { return server->handlerCount(); }) == 0u; }));
        recorder->clear();
        queue->sync([&] {
            server->removeProxyListener(recorder);
            server->removeProxyListener(origin);
            server.reset();
            client.reset();
            origin.reset();
        });
        for (auto type : {"HttpProxyHandler", "ProxyHttp", "StreamCopier", "ProxyEvent"})
            EXPECT_TRUE(waitFor([&] { return liveCount(type) == 0; }))
                << type << " left: " << liveCount(type);
        queue->sync([] {});
        queue->stop();
    }

    /// Lets the client's writes go until it holds the response head and `bodyBytes` after
    /// it; the write that completed them stays held. Returns the bytes it holds then.
    std::size_t receiveBody(std::size_t bodyBytes) {
        std::size_t total = 0;
        EXPECT_TRUE(waitFor([&] {
            return queue->onQueue([&] {
                auto text = toString(client->target.received);
                auto at = text.find("\r\n\r\n");
                if (at != std::string::npos && text.size() - at - 4 >= bodyBytes) {
                    total = text.size();
                    return true;
                }
                client->release();
                return false;
            });
        })) << "the client never got the body";
        return total;
    }
    /// "complete" or "exception: <description>" once the exchange has ended (the client's
    /// writes let go meanwhile), else "".
    std::string outcome() {
        std::string text;
        waitFor([&] {
            queue->sync([&] { client->release(); });
            for (auto& step : recorder->steps()) {
                if (step.name == "complete")
                    text = "complete";
                else if (step.name == "exception")
                    text = "exception: " + describe(step.evt->exception);
            }
            return !text.empty();
        });
        return text;
    }

    std::shared_ptr<DispatchQueue> queue = DispatchQueue::make("exchange-end");
    std::shared_ptr<HttpProxyServer> server;
    std::shared_ptr<RecordingProxyListener> recorder = std::make_shared<RecordingProxyListener>();
    std::shared_ptr<PipedOrigin> origin;
    std::shared_ptr<HeldClient> client;
};

const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n";

TEST(ExchangeEnd, ServerClosingRightAfterTheLastByteLeavesTheExchangeComplete) {
    // Rows: the server's bytes, how it ends, whether it ends before the client's last write
    // was taken, the body bytes the client holds by then, and the outcome.
    struct Case {
        const char* name;
        std::string response;
        Close close;
        bool whileLastWriteHeld;
        std::size_t bodyBytes;
        std::string outcome;
    };
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n";
    const std::string whole = head + "0123456789", short9 = head + "012345678";
    const std::string chunked =
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\na\r\n0123456789\r\n0\r\n\r\n";
    const Case cases[] = {
        {"closed by the peer, last write held", whole, Close::closedByPeer, true, 10, "complete"},
        {"reset by the peer, last write held", whole, Close::resetByPeer, true, 10, "complete"},
        {"end of stream, last write held", whole, Close::eof, true, 10, "complete"},
        {"closed by the peer after the last write", whole, Close::closedByPeer, false, 10, "complete"},
        {"kept open", whole, Close::none, true, 10, "complete"},
        {"one byte short, closed by the peer", short9, Close::closedByPeer, true, 9,
         "exception: Connection closed by peer"},
        {"one byte short, end of stream", short9, Close::eof, true, 9, "exception: EOF"},
        {"chunked, closed by the peer after its last chunk", chunked, Close::closedByPeer, true, 10,
         "complete"},
        {"empty body, closed by the peer while the head is held",
         "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", Close::closedByPeer, true, 0, "complete"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HeldExchange exchange;
        auto& queue = exchange.queue;
        queue->sync([&] { exchange.origin->response->write(toData(c.response), false, nullptr); });
        auto held = exchange.receiveBody(c.bodyBytes);
        if (!c.whileLastWriteHeld)
            queue->sync([&] { exchange.client->release(); });
        queue->sync([&] {
            if (c.close != Close::none)
                exchange.origin->response->close(closeError(c.close));
        });
        queue->sync([] {});
        queue->sync([&] { exchange.client->release(); });
        EXPECT_EQ(exchange.outcome(), c.outcome);
        queue->sync([&] { EXPECT_GE(exchange.client->target.received.size(), held); });
    }
}

} // namespace
} // namespace pemtrox::test
