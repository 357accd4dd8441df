#include <gtest/gtest.h>

#include "proxy/io/ByteArrayInputStream.h"
#include "proxy/io/InputStreamError.h"
#include "proxy/io/Plumber.h"
#include "tests/io/StreamTestSupport.h"

using namespace pemtrox;
using test::EventLog;

namespace {
const std::string key = "VornellPacketTunnel.ByteArrayInputStream";
}

TEST(ByteArrayInputStream, ReadsTableOfRequests) {
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"0123456789", "read|read|read", "data:0123456789|eof|eof"},
        {"ab\r\ncd", "line|read", "data:ab~|data:cd"},
        {"abcdef", "line|read", "data:abcdef|eof"}, // a missing marker gives the rest
        {"abc", "len:0", "eof"},
        {"abcde", "read:2|len:2|read:9", "data:ab|data:cd|data:e"},
        {"abcdefgh\r\n", "line:5", "error:Marker not found within the read limit"},
    };
    for (auto [input, script, trace] : cases) {
        SCOPED_TRACE(script);
        auto stream = ByteArrayInputStream::make(toData(input));
        auto log = EventLog::make();
        stream->handler(log->handler());
        test::runScript(*stream, script);
        EXPECT_EQ(test::joined(log->trace), trace);
    }
    EXPECT_EQ(Plumber::count(key), 0);
}

TEST(ByteArrayInputStream, HandlerOnClosedStreamIsToldEofAndDoneRemovesIt) {
    for (auto answer : {InputStreamHandlerResult::done, InputStreamHandlerResult::more}) {
        auto stream = ByteArrayInputStream::make(toData("abc"));
        stream->close();
        auto log = EventLog::make();
        log->answer = answer;
        stream->handler(log->handler());
        EXPECT_EQ(log->trace, std::vector<std::string>{"eof"});
        EXPECT_EQ(stream->hasHandler(), answer == InputStreamHandlerResult::more);
    }
}

TEST(ByteArrayInputStream, StaleDoneAfterHandlerChangeKeepsTheNewHandler) {
    auto stream = ByteArrayInputStream::make(toData("abcdef"));
    auto first = EventLog::make();
    first->holdReplies = true;
    stream->handler(first->handler());
    stream->read(1);
    ASSERT_EQ(first->heldReplies.size(), 1u);
    auto second = EventLog::make();
    stream->handler(second->handler());
    first->heldReplies[0](InputStreamHandlerResult::done);
    EXPECT_TRUE(stream->hasHandler());
    stream->read(1);
    EXPECT_EQ(second->trace, std::vector<std::string>{"data:b"});
}

TEST(ByteArrayInputStream, CloseDeliversTheErrorBeforeTheCompletionAndTwiceRunsBothCompletions) {
    auto stream = ByteArrayInputStream::make(toData("abc"));
    auto log = EventLog::make();
    std::vector<std::string> order;
    log->onEvent = [&](const InputStreamEvent&) { order.push_back("event"); };
    stream->handler(log->handler());
    auto error = InputStreamError::invalidTrailer().clone();
    ErrorPtr seen;
    stream->close(error, [&](ErrorPtr e) {
        order.push_back("completion");
        seen = e;
    });
    EXPECT_EQ(order, (std::vector<std::string>{"event", "completion"}));
    EXPECT_EQ(seen, error);
    EXPECT_EQ(log->trace, std::vector<std::string>{"error:Invalid chunk trailer"});
    bool second = false;
    stream->close(nullptr, [&](ErrorPtr e) { second = !e; });
    EXPECT_TRUE(second);
    EXPECT_EQ(log->trace.size(), 1u);
    // The unread bytes are given up.
    stream->read();
    EXPECT_EQ(log->trace.back(), "eof");
}
