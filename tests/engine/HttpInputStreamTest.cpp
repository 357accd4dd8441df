#include <gtest/gtest.h>

#include <future>
#include <string>

#include "platform/DispatchQueue.h"
#include "proxy/engine/FieldsError.h"
#include "proxy/engine/HttpInputStream.h"
#include "proxy/io/ByteArrayInputStream.h"
#include "proxy/io/InputStreamError.h"
#include "proxy/io/PipeStream.h"
#include "proxy/io/SocketError.h"

namespace pemtrox {
namespace {

using HeadResult = Result<std::shared_ptr<HttpFields>>;

// A pipe on its own queue, fed one byte per write, then ended (or failed).
class Feed {
public:
    Feed() : queue_(DispatchQueue::make("feed")) {
        queue_->sync([&] {
            pipe_ = PipeStream::make(queue_);
            stream_ = HttpInputStream::make(pipe_);
        });
    }
    ~Feed() {
        queue_->sync([&] {
            stream_.reset();
            pipe_->close();
            pipe_.reset();
        });
    }
    void sendBytewise(const std::string& text, ErrorPtr endError = nullptr, bool end = true) {
        queue_->async([this, text, endError, end] {
            for (char c : text)
                pipe_->write(Data{static_cast<std::uint8_t>(c)}, false,
                             [](OutputStreamWriteHandlerResult) {});
            if (endError)
                pipe_->appendError(endError);
            else if (end)
                pipe_->appendEOF();
        });
    }
    HeadResult readHeader() {
        std::promise<HeadResult> promise;
        queue_->async([&] { stream_->readHeader([&](HeadResult result) { promise.set_value(result); }); });
        return promise.get_future().get();
    }
    // Everything left in the stream until its end.
    std::string rest() {
        std::promise<std::string> promise;
        auto collected = std::make_shared<std::string>();
        queue_->async([&, collected] {
            stream_->handler([&, collected](InputStreamEvent event, InputStreamReply reply) {
                if (event.isData()) {
                    collected->append(event.data().begin(), event.data().end());
                    reply(InputStreamHandlerResult::more);
                    stream_->read();
                    return;
                }
                reply(InputStreamHandlerResult::done);
                promise.set_value(*collected);
            });
            stream_->read();
        });
        return promise.get_future().get();
    }
    ErrorPtr skipBlankLines() {
        std::promise<ErrorPtr> promise;
        queue_->async([&] { stream_->readBodyHandler([&](ErrorPtr error) { promise.set_value(error); }); });
        return promise.get_future().get();
    }

private:
    std::shared_ptr<DispatchQueue> queue_;
    std::shared_ptr<PipeStream> pipe_;
    std::shared_ptr<HttpInputStream> stream_;
};

TEST(HttpInputStreamTest, ReadsAHeadByteByByteAndLeavesTheBody) {
    Feed feed;
    std::string head = "POST /x HTTP/1.1\r\nHost: a\r\nContent-Length: 4\r\n\r\n";
    feed.sendBytewise(head + "body");
    auto result = feed.readHeader();
    ASSERT_TRUE(result.isSuccess()) << describe(result.error());
    auto& fields = result.value();
    EXPECT_EQ(fields->firstLine(), "POST /x HTTP/1.1");
    EXPECT_EQ(fields->intValue("content-length"), 4);
    EXPECT_EQ(fields->rawSize, static_cast<std::int64_t>(head.size()));
    EXPECT_EQ(feed.rest(), "body");
}

// Heads in a row, with and without fields, and blank lines between them.
TEST(HttpInputStreamTest, PipelinedHeadsAndBlankLinesBetweenThem) {
    Feed feed;
    feed.sendBytewise("HTTP/1.1 100 Continue\r\n\r\n\r\n\r\nHTTP/1.1 200 OK\r\nA: 2\r\n\r\ntail");
    auto interim = feed.readHeader();
    ASSERT_TRUE(interim.isSuccess());
    EXPECT_EQ(interim.value()->parsedResponse().status, 100);
    EXPECT_TRUE(interim.value()->fields.empty());
    EXPECT_EQ(feed.skipBlankLines(), nullptr);
    auto final = feed.readHeader();
    ASSERT_TRUE(final.isSuccess());
    EXPECT_EQ(final.value()->firstLine(), "HTTP/1.1 200 OK");
    EXPECT_EQ(final.value()->fields, (std::vector<Field>{{"A", "2"}}));
    EXPECT_EQ(feed.rest(), "tail");
}

TEST(HttpInputStreamTest, EndsAndErrors) {
    struct Case {
        const char* why;
        std::string input;
        ErrorPtr streamError;
        std::function<bool(const ErrorPtr&)> expected;
    };
    auto timeout = SocketError::timeout().clone();
    auto isEof = [](const ErrorPtr& e) { return InputStreamError::is(e, InputStreamError::Kind::eof); };
    auto fieldsError = [](FieldsError::Kind kind) {
        return [kind](const ErrorPtr& e) {
            auto* f = dynamic_cast<const FieldsError*>(e.get());
            return f && f->kind() == kind;
        };
    };
    std::vector<Case> cases = {
        {"end before anything", "", nullptr, isEof},
        {"end mid-head", "GET / HTTP/1.1\r\nHost: a\r\n", nullptr, isEof},
        {"end mid-line", "GET / HTT", nullptr, isEof},
        {"stream error passes through", "GET / HTTP/1.1\r\n", timeout,
         [&](const ErrorPtr& e) { return e == timeout; }},
        {"colon-less line", "GET / HTTP/1.1\r\nbroken\r\n\r\n", nullptr,
         fieldsError(FieldsError::Kind::brokenHeaderLine)},
        {"bare LF", "GET / HTTP/1.1\r\nA: b\nc\r\n\r\n", nullptr,
         fieldsError(FieldsError::Kind::invalidCharacter)},
        {"endless line", "GET /" + std::string(20000, 'a'), nullptr,
         fieldsError(FieldsError::Kind::lineTooLong)},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.why);
        Feed feed;
        feed.sendBytewise(c.input, c.streamError);
        auto result = feed.readHeader();
        ASSERT_FALSE(result.isSuccess());
        EXPECT_TRUE(c.expected(result.error())) << describe(result.error());
    }
}

TEST(HttpInputStreamTest, SkippingBlankLinesAtTheEndOfTheStream) {
    Feed feed;
    feed.sendBytewise("\r\n\r\n");
    EXPECT_EQ(feed.skipBlankLines(), nullptr);
}

TEST(HttpInputStreamTest, InMemoryStreamDeliversInsideTheCall) {
    auto stream =
        HttpInputStream::make(ByteArrayInputStream::make(toData("HTTP/1.1 200 OK\r\nX: y\r\n\r\nbody")));
    std::optional<HeadResult> result;
    stream->readHeader([&](HeadResult r) { result = r; });
    ASSERT_TRUE(result && result->isSuccess());
    EXPECT_EQ(result->value()->parsedResponse().status, 200);
    EXPECT_TRUE(stream->hasPushedData());
}

} // namespace
} // namespace pemtrox
