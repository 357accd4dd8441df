#include <fstream>

#include <gtest/gtest.h>

#include "proxy/io/ByteArrayInputStream.h"
#include "proxy/io/LzwDecoder.h"
#include "proxy/io/SafeGZIPInputStream.h"
#include "proxy/io/UncompressInputStream.h"
#include "tests/io/CodingFixtures.h"
#include "tests/io/StreamTestSupport.h"
#include "tests/support/TestSupport.h"

using namespace pemtrox;
using test::drain;
using test::EventLog;
using test::gzip;
using test::lzwCompress;
using test::sampleBody;

namespace {

using Factory = std::function<std::shared_ptr<MyInputStream>(std::shared_ptr<MyInputStream>)>;
const Factory makeGzip = [](std::shared_ptr<MyInputStream> p) {
    return SafeGZIPInputStream::make(std::move(p));
};
const Factory makeUncompress = [](std::shared_ptr<MyInputStream> p) {
    return UncompressInputStream::make(std::move(p));
};

class DecodingStreams : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(test::liveStreamObjects(), 0); }
};

} // namespace

TEST_F(DecodingStreams, GzipOf100KBArrivesInReadSizedPieces) {
    auto body = sampleBody(100 * 1024);
    auto log = drain(SafeGZIPInputStream::make(ByteArrayInputStream::make(gzip(body))));
    EXPECT_EQ(log->bytes, body);
    EXPECT_EQ(log->trace.back(), "eof");
    for (std::size_t i = 0; i + 1 < log->trace.size(); ++i)
        EXPECT_LE(log->trace[i].size() - 5, 4096u);
}

TEST_F(DecodingStreams, CutGzipBodiesEndWithEofErrorAtEveryCut) {
    auto body = sampleBody(300, 5);
    auto coded = gzip(body);
    for (std::size_t cut = 1; cut < coded.size(); ++cut) {
        SCOPED_TRACE(cut);
        auto log = drain(
            SafeGZIPInputStream::make(ByteArrayInputStream::make(Data(coded.begin(), coded.begin() + cut))));
        ASSERT_FALSE(log->trace.empty());
        EXPECT_EQ(log->trace.back(), "error:EOF");
        EXPECT_LE(log->bytes.size(), body.size());
    }
}

TEST_F(DecodingStreams, MalformedBodiesEndWithAnErrorEvent) {
    struct Case {
        const char* name;
        Factory factory;
        Data coded;
        std::string errorStart;
    };
    auto good = gzip(toData("hello hello hello"));
    auto corrupt = good;
    corrupt[12] ^= 0xff;
    corrupt[13] ^= 0x55;
    std::vector<Case> cases = {
        {"not gzip", makeGzip, toData("plain text, not coded"), "error:Invalid gzip data"},
        {"corrupt deflate data", makeGzip, corrupt, "error:Invalid gzip data"},
        {"not compress", makeUncompress, toData("plain text"), "error:Invalid compress data"},
        {"compress width out of range", makeUncompress, Data{0x1f, 0x9d, 0x91, 0, 0},
         "error:Invalid compress data"},
        {"compress code past the table", makeUncompress, Data{0x1f, 0x9d, 0x90, 'a', 0xff, 0xff, 0xff},
         "error:Invalid compress data"},
        {"compress cut in the header", makeUncompress, Data{0x1f, 0x9d}, "error:Invalid compress data"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto stream = c.factory(ByteArrayInputStream::make(c.coded));
        auto log = drain(stream);
        ASSERT_EQ(log->errors.size(), 1u);
        EXPECT_EQ(log->trace.back().rfind(c.errorStart, 0), 0u) << log->trace.back();
        EXPECT_EQ(log->errors[0]->errorTitle(), "Input Error");
        stream->read();
        EXPECT_EQ(log->trace.back().rfind(c.errorStart, 0), 0u);
    }
}

TEST_F(DecodingStreams, GzipMembersTrailingBytesAndEmptyBodies) {
    auto one = gzip(toData("first "));
    auto two = gzip(toData("second"));
    Data both = one;
    both.insert(both.end(), two.begin(), two.end());
    EXPECT_EQ(drain(SafeGZIPInputStream::make(ByteArrayInputStream::make(both)))->text(), "first second");
    Data trailing = one;
    for (char c : std::string("garbage after the data"))
        trailing.push_back(static_cast<std::uint8_t>(c));
    auto log = drain(SafeGZIPInputStream::make(ByteArrayInputStream::make(trailing)));
    EXPECT_EQ(log->text(), "first ");
    EXPECT_EQ(log->trace.back(), "eof");
    for (auto& factory : {makeGzip, makeUncompress}) {
        auto empty = drain(factory(ByteArrayInputStream::make({})));
        EXPECT_EQ(empty->trace, std::vector<std::string>{"eof"});
    }
}

TEST_F(DecodingStreams, ExactLengthReadsAndMarkerReads) {
    auto body = sampleBody(10000, 11);
    auto stream = SafeGZIPInputStream::make(ByteArrayInputStream::make(gzip(body)));
    auto log = EventLog::make();
    stream->handler(log->handler());
    stream->readTo(6000);
    stream->readTo(6000);
    ASSERT_EQ(log->trace.size(), 2u);
    EXPECT_EQ(log->trace[0].size() - 5, 6000u);
    EXPECT_EQ(log->trace[1].size() - 5, 4000u);
    EXPECT_EQ(log->bytes, body);
    stream->readTo(toData("\r\n"));
    EXPECT_EQ(log->trace.back(), "error:Read to marker not supported");
}

TEST_F(DecodingStreams, CompressRoundTripsAcrossWidthsAndClears) {
    struct Case {
        const char* name;
        Data body;
        unsigned maxBits;
        bool clear;
    };
    std::vector<Case> cases = {
        {"one byte", toData("x"), 16, false},
        {"repeats (KwKwK codes)", Data(5000, 'a'), 16, false},
        {"up to 16 bits", sampleBody(400000, 1), 16, false},
        {"table full at 12 bits, no clear", sampleBody(60000, 2), 12, false},
        {"clears at 12 bits", sampleBody(60000, 2), 12, true},
        {"clears at 10 bits", sampleBody(20000, 4), 10, true},
    };
    std::vector<Data> fixtures;
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        fixtures.push_back(lzwCompress(c.body, c.maxBits, c.clear));
        auto log = drain(UncompressInputStream::make(ByteArrayInputStream::make(fixtures.back())));
        EXPECT_EQ(log->bytes, c.body);
        EXPECT_EQ(log->trace.back(), "eof");
    }
    // gzip reads the format too: the fixtures are real .Z data, not a private dialect.
    if (test::runCommand("command -v gzip").empty())
        GTEST_SKIP() << "gzip is not installed: the fixtures were not checked against it";
    test::TempDir dir;
    for (std::size_t i = 0; i < fixtures.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        auto path = dir.path() / "fixture.Z";
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(fixtures[i].data()),
                   static_cast<std::streamsize>(fixtures[i].size()));
        int status = -1;
        auto decoded = test::runCommand("gzip -dc < '" + path.string() + "'", &status);
        EXPECT_EQ(status, 0);
        EXPECT_TRUE(decoded == toString(cases[i].body)) << "gzip disagrees with the fixture";
    }
}

TEST(LzwDecoder, KnownVector) {
    // Worked by hand: 9-bit codes 'a', 'b', 257 ("ab"), 259 ("aba"), 'b', least significant
    // bit first, after the header of a 16-bit block-mode stream.
    Data coded{0x1f, 0x9d, 0x90, 0x61, 0xc4, 0x04, 0x1c, 0x28, 0x06};
    EXPECT_EQ(lzwCompress(toData("abababab")), coded);
    LzwDecoder decoder;
    Data out(64);
    auto step = decoder.decode(coded.data(), coded.size(), out.data(), out.size());
    EXPECT_TRUE(step.error.empty());
    EXPECT_EQ(std::string(out.begin(), out.begin() + step.produced), "abababab");
}
