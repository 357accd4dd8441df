#include <gtest/gtest.h>

#include "proxy/io/ByteArrayInputStream.h"
#include "proxy/io/CrossOverSocket.h"
#include "proxy/io/PipeSocket.h"
#include "tests/io/StreamTestSupport.h"
#include "tests/support/TestSupport.h"
#include "tests/support/proxy/StubSocket.h"

using namespace pemtrox;

namespace {

std::string describeOrDash(const ErrorPtr& e) {
    return e ? e->description() : "-";
}

/// A close block that records its step and hands on `replacement` when given.
SocketCloseBlock recordingBlock(std::vector<std::string>& trace, std::string name,
                                ErrorPtr replacement = nullptr) {
    return [&trace, name, replacement](std::shared_ptr<Socket>, ErrorPtr error, CloseCompletion next) {
        trace.push_back(name + ":" + describeOrDash(error));
        next(replacement ? replacement : error);
    };
}

struct PipeSocketTest : ::testing::Test {
    std::shared_ptr<DispatchQueue> queue = DispatchQueue::make("pipe-socket-test");
    void onQueue(const std::function<void()>& f) { queue->sync(f); }
    void TearDown() override {
        queue->sync([] {});
        for (auto key : {"PipeSocket", "CrossOverSocket", "PipeStream"})
            EXPECT_EQ(Plumber::count(std::string("VornellPacketTunnel.") + key), 0) << key;
    }
};

} // namespace

TEST_F(PipeSocketTest, CloseRunsEachStepOnceInItsOrderHandingTheErrorOn) {
    onQueue([&] {
        std::vector<std::string> trace;
        auto socket = PipeSocket::make(queue);
        auto reader = test::EventLog::make();
        reader->onEvent = [&](const InputStreamEvent& e) {
            trace.push_back(e.isEof() ? "input:eof" : "input:" + e.error()->description());
        };
        socket->inputStream()->handler(reader->handler());
        socket->setWillCloseBlock(recordingBlock(trace, "will", makeError<GenericError>("chosen")));
        socket->setDidCloseBlock([&](std::shared_ptr<Socket> s, ErrorPtr error, CloseCompletion next) {
            trace.push_back("did:" + describeOrDash(error) +
                            (s->outputStream()->isClosed() ? " output closed" : ""));
            next(error);
        });
        socket->close(makeError<GenericError>("given"),
                      [&](ErrorPtr e) { trace.push_back("done:" + describeOrDash(e)); });
        EXPECT_TRUE(socket->isClosed());
        EXPECT_EQ(trace, (std::vector<std::string>{"will:given", "input:chosen", "did:chosen output closed",
                                                   "done:chosen"}));
        // A second close only answers its own completion.
        trace.clear();
        socket->close(makeError<GenericError>("again"),
                      [&](ErrorPtr e) { trace.push_back("done:" + describeOrDash(e)); });
        socket->close();
        EXPECT_EQ(trace, (std::vector<std::string>{"done:again"}));
    });
}

TEST_F(PipeSocketTest, WillCloseBlocksAreChainedNewestFirst) {
    onQueue([&] {
        std::vector<std::string> trace;
        auto socket = PipeSocket::make(queue);
        socket->setWillCloseBlock(recordingBlock(trace, "first"));
        socket->setWillCloseBlock(recordingBlock(trace, "second", makeError<GenericError>("from second")));
        socket->close(nullptr, [&](ErrorPtr e) { trace.push_back("done:" + describeOrDash(e)); });
        EXPECT_EQ(trace, (std::vector<std::string>{"second:-", "first:from second", "done:from second"}));

        trace.clear();
        auto cleared = PipeSocket::make(queue);
        cleared->setWillCloseBlock(recordingBlock(trace, "gone"));
        cleared->setWillCloseBlock(nullptr);
        cleared->close();
        EXPECT_TRUE(trace.empty());

        // A socket presented over another couples its close through this; one without close
        // blocks says so.
        auto coupled = PipeSocket::make(queue);
        EXPECT_TRUE(coupled->addWillCloseBlock(recordingBlock(trace, "coupled")));
        coupled->close();
        EXPECT_EQ(trace, std::vector<std::string>{"coupled:-"});
        EXPECT_FALSE(test::StubSocket().addWillCloseBlock(recordingBlock(trace, "never")));
    });
}

TEST_F(PipeSocketTest, GlobalIndicesAreDistinctAndRising) {
    onQueue([&] {
        auto a = PipeSocket::make(queue);
        auto b = CrossOverSocket::make(a);
        auto c = PipeSocket::make(queue);
        EXPECT_LT(a->globalIndex(), b->globalIndex());
        EXPECT_LT(b->globalIndex(), c->globalIndex());
        EXPECT_EQ(c->connectionIndex(), c->globalIndex()); // the index recorded with exchanges
        EXPECT_EQ(test::StubSocket().connectionIndex(), std::nullopt);
        EXPECT_EQ(c->connectTimeout(), std::nullopt);
        c->close();
        a->close();
        EXPECT_TRUE(b->isClosed());
    });
}

TEST_F(PipeSocketTest, CrossOverSocketSeesTheAddressesCrossed) {
    onQueue([&] {
        auto pipe = PipeSocket::make(queue);
        auto cross = CrossOverSocket::make(pipe);
        EXPECT_EQ(cross->host(), "localhost");
        EXPECT_EQ(cross->localHost(), std::nullopt);
        EXPECT_EQ(cross->localPort(), std::nullopt);
        EXPECT_EQ(cross->port(), std::nullopt);
        pipe->setHost("198.51.100.7");
        pipe->setPort(443);
        pipe->setLocalPort(8888);
        EXPECT_EQ(cross->localHost(), "198.51.100.7");
        EXPECT_EQ(cross->localPort(), 443);
        EXPECT_EQ(cross->port(), 8888);
        EXPECT_EQ(cross->inputStream(), std::static_pointer_cast<MyInputStream>(pipe->outputPipe()));
        pipe->close();
    });
}

TEST_F(PipeSocketTest, BytesCrossBothWays) {
    auto pipe = PipeSocket::make(queue);
    auto cross = CrossOverSocket::make(pipe);
    auto atPipe = test::EventLog::make(), atCross = test::EventLog::make();
    test::WriteLog writes;
    onQueue([&] {
        pipe->inputStream()->handler(atPipe->handler());
        cross->inputStream()->handler(atCross->handler());
        cross->outputStream()->write(toData("abc"), false, writes.completion());
        pipe->outputStream()->write(toData("xyz"), true, writes.completion());
        pipe->inputStream()->read();
        cross->inputStream()->read();
    });
    ASSERT_TRUE(test::waitFor([&] {
        return queue->onQueue([&] { return atPipe->trace.size() == 1 && atCross->trace.size() == 1; });
    }));
    onQueue([&] {
        EXPECT_EQ(atPipe->trace, std::vector<std::string>{"data:abc"});
        EXPECT_EQ(atCross->trace, std::vector<std::string>{"data:xyz"});
        EXPECT_EQ(writes.results, (std::vector<std::string>{"ready", "ready"}));
        pipe->close();
        cross->close();
    });
}

TEST_F(PipeSocketTest, ClosingThePipeSocketClosesTheCrossOverFirstAndOnlyOnce) {
    struct Case {
        const char* name;
        bool crossOverFirst;
    };
    for (auto c : {Case{"pipe socket alone", false}, Case{"cross-over, then pipe socket", true}}) {
        SCOPED_TRACE(c.name);
        onQueue([&] {
            std::vector<std::string> trace;
            auto pipe = PipeSocket::make(queue);
            auto cross = CrossOverSocket::make(pipe);
            auto atPipe = test::EventLog::make(), atCross = test::EventLog::make();
            pipe->inputStream()->handler(atPipe->handler());
            cross->inputStream()->handler(atCross->handler());
            cross->setDidCloseBlock(recordingBlock(trace, "cross did"));
            pipe->setDidCloseBlock(recordingBlock(trace, "pipe did"));
            if (c.crossOverFirst) {
                cross->close();
                EXPECT_FALSE(pipe->isClosed());
            }
            pipe->close(makeError<GenericError>("bye"));
            EXPECT_TRUE(cross->isClosed());
            EXPECT_TRUE(pipe->inputPipe()->isClosed());
            EXPECT_TRUE(pipe->outputPipe()->isClosed());
            if (c.crossOverFirst)
                EXPECT_EQ(trace, (std::vector<std::string>{"cross did:-", "pipe did:bye"}));
            else
                EXPECT_EQ(trace, (std::vector<std::string>{"cross did:bye", "pipe did:bye"}));
            EXPECT_TRUE(atPipe->ended());
            EXPECT_TRUE(atCross->ended());
        });
    }
}

TEST_F(PipeSocketTest, StreamCloseFromAStrangerOrReleaseWhileOpenIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto onFreshQueue = [](const std::function<void(const std::shared_ptr<DispatchQueue>&)>& f) {
        auto q = DispatchQueue::make("death");
        q->sync([&] { f(q); });
    };
    const std::pair<std::function<void(const std::shared_ptr<DispatchQueue>&)>, const char*> cases[] = {
        {[](auto& q) {
             PipeSocket::make(q)->inputStreamDidClose(*ByteArrayInputStream::make({}), nullptr, nullptr);
         },
         "Socket received didClose from input stream that wasn't its own"},
        {[](auto& q) {
             auto socket = PipeSocket::make(q);
             socket->outputStreamDidClose(*socket->inputPipe(), nullptr, nullptr);
         },
         "Socket received didClose from output stream that wasn't its own"},
        {[](auto& q) { PipeSocket::make(q); },
         "VornellPacketTunnel\\.PipeSocket deinited without being closed"},
        {[](auto& q) { CrossOverSocket::make(PipeSocket::make(q)); },
         "VornellPacketTunnel\\.CrossOverSocket deinited without being closed"},
    };
    for (auto& [run, message] : cases)
        EXPECT_DEATH(onFreshQueue(run), message);
}
