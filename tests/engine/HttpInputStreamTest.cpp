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

// A pipe on its own queue holding the text one byte per write, then its end (or the error).
class Feed {
public:
    explicit Feed(const std::string& text, ErrorPtr endError = nullptr) {
        queue_->sync([&] {
            pipe_ = PipeStream::make(queue_);
            stream_ = HttpInputStream::make(pipe_);
            for (char c : text)
                pipe_->write(Data{static_cast<std::uint8_t>(c)}, false,
                             [](OutputStreamWriteHandlerResult) {});
            endError ? pipe_->appendError(endError) : pipe_->appendEOF();
        });
    }
    ~Feed() {
        queue_->sync([&] {
            stream_.reset();
            pipe_->close();
            pipe_.reset();
        });
    }
    HeadResult readHeader() {
        return await<HeadResult>([&](auto done) { stream_->readHeader(done); });
    }
    ErrorPtr skipBlankLines() {
        return await<ErrorPtr>([&](auto done) { stream_->readBodyHandler(done); });
    }
    // Everything left in the stream until its end.
    std::string rest() {
        auto collected = std::make_shared<std::string>();
        return await<std::string>([&](auto done) {
            stream_->handler([this, collected, done](InputStreamEvent event, InputStreamReply reply) {
                if (!event.isData()) {
                    reply(InputStreamHandlerResult::done);
                    return done(*collected);
                }
                collected->append(event.data().begin(), event.data().end());
                reply(InputStreamHandlerResult::more);
                stream_->read();
            });
            stream_->read();
        });
    }

private:
    // Starts work on the queue and waits for the value it hands its completion.
    template <class T> T await(const std::function<void(std::function<void(T)>)>& start) {
        std::promise<T> promise;
        queue_->async([&] { start([&](T value) { promise.set_value(std::move(value)); }); });
        return promise.get_future().get();
    }
    std::shared_ptr<DispatchQueue> queue_ = DispatchQueue::make("feed");
    std::shared_ptr<PipeStream> pipe_;
    std::shared_ptr<HttpInputStream> stream_;
};

TEST(HttpInputStreamTest, ReadsAHeadByteByByteAndLeavesTheBody) {
    std::string head = "POST /x HTTP/1.1\r\nHost: a\r\nContent-Length: 4\r\n\r\n";
    Feed feed(head + "body");
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
    Feed feed("HTTP/1.1 100 Continue\r\n\r\n\r\n\r\nHTTP/1.1 200 OK\r\nA: 2\r\n\r\ntail");
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
        Feed feed(c.input, c.streamError);
        auto result = feed.readHeader();
        ASSERT_FALSE(result.isSuccess());
        EXPECT_TRUE(c.expected(result.error())) << describe(result.error());
    }
}

TEST(HttpInputStreamTest, SkippingBlankLinesAtTheEndOfTheStream) {
    Feed feed("\r\n\r\n");
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
