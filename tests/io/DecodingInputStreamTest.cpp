#include <fstream>
#include <map>
#include <random>

#include <gtest/gtest.h>
#include <zlib.h>

#include "platform/DispatchQueue.h"
#include "proxy/io/ByteArrayInputStream.h"
#include "proxy/io/LzwDecoder.h"
#include "proxy/io/PipeStream.h"
#include "proxy/io/SafeGZIPInputStream.h"
#include "proxy/io/UncompressInputStream.h"
#include "tests/io/StreamTestSupport.h"
#include "tests/support/TestSupport.h"

using namespace pemtrox;
using test::drain;
using test::EventLog;

namespace {

Data gzip(const Data& input, int level = 6) {
    z_stream zs{};
    EXPECT_EQ(deflateInit2(&zs, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
    Data out(deflateBound(&zs, input.size()) + 64);
    zs.next_in = const_cast<Bytef*>(input.data());
    zs.avail_in = static_cast<uInt>(input.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

/// A "compress" writer for fixtures: LZW codes from 9 bits up, the width raised (after
/// padding to a group of eight codes) exactly when a reader of the format raises it, and
/// optionally a table clear whenever the table is full.
Data lzwCompress(const Data& input, unsigned maxBits = 16, bool clearWhenFull = false) {
    Data out{0x1f, 0x9d, static_cast<std::uint8_t>(0x80 | maxBits)};
    std::uint32_t bitBuf = 0;
    unsigned bitCount = 0;
    std::uint64_t segmentBits = 0;
    unsigned nBits = 9;
    const std::uint32_t maxMaxCode = 1u << maxBits;
    std::uint32_t maxCode = nBits == maxBits ? maxMaxCode : 511;
    std::uint32_t readerFree = 257; // the reader's next table entry
    bool first = true;
    auto putBits = [&](std::uint32_t value, unsigned count) {
        bitBuf |= value << bitCount;
        bitCount += count;
        while (bitCount >= 8) {
            out.push_back(static_cast<std::uint8_t>(bitBuf & 0xff));
            bitBuf >>= 8;
            bitCount -= 8;
        }
    };
    auto pad = [&] {
        std::uint64_t group = nBits * 8;
        std::uint64_t skip = (group - segmentBits % group) % group;
        for (; skip > 0; skip -= std::min<std::uint64_t>(skip, 8))
            putBits(0, static_cast<unsigned>(std::min<std::uint64_t>(skip, 8)));
        segmentBits = 0;
    };
    auto emit = [&](std::uint32_t code) {
        while (readerFree > maxCode) {
            pad();
            ++nBits;
            maxCode = nBits == maxBits ? maxMaxCode : (1u << nBits) - 1;
        }
        putBits(code, nBits);
        segmentBits += nBits;
        if (first) {
            first = false;
        } else if (code == 256) {
            readerFree = 256;
            pad();
            nBits = 9;
            maxCode = 511;
        } else if (readerFree < maxMaxCode) {
            ++readerFree;
        }
    };
    if (input.empty())
        return out;
    std::map<std::pair<std::uint32_t, std::uint8_t>, std::uint32_t> table;
    std::uint32_t next = 257;
    std::uint32_t w = input[0];
    for (std::size_t i = 1; i < input.size(); ++i) {
        std::uint8_t c = input[i];
        if (auto it = table.find({w, c}); it != table.end()) {
            w = it->second;
            continue;
        }
        emit(w);
        if (next < maxMaxCode) {
            table[{w, c}] = next++;
        } else if (clearWhenFull) {
            emit(256);
            table.clear();
            next = 257;
        }
        w = c;
    }
    emit(w);
    if (bitCount > 0)
        out.push_back(static_cast<std::uint8_t>(bitBuf & 0xff));
    return out;
}

/// Text-like bytes that compress well, with some noise so codes of every width occur.
Data sampleBody(std::size_t size, unsigned seed = 7) {
    std::mt19937 random(seed);
    const std::string words[] = {"proxy ", "stream ", "chunk ", "body ", "header ", "\r\n", "gzip "};
    Data out;
    while (out.size() < size) {
        if (random() % 5 == 0)
            out.push_back(static_cast<std::uint8_t>(random()));
        else {
            auto& word = words[random() % 7];
            out.insert(out.end(), word.begin(), word.end());
        }
    }
    out.resize(size);
    return out;
}

using Factory = std::function<std::shared_ptr<MyInputStream>(std::shared_ptr<MyInputStream>)>;
const Factory makeGzip = [](std::shared_ptr<MyInputStream> p) {
    return SafeGZIPInputStream::make(std::move(p));
};
const Factory makeUncompress = [](std::shared_ptr<MyInputStream> p) {
    return UncompressInputStream::make(std::move(p));
};

/// Feeds the coded body through a pipe in the given pieces and reads it with read().
std::shared_ptr<EventLog> decodeThroughPipe(const Factory& factory, const Data& coded,
                                            const std::vector<std::size_t>& pieces) {
    auto queue = DispatchQueue::make("decode-test");
    std::shared_ptr<PipeStream> pipe;
    std::shared_ptr<MyInputStream> stream;
    std::shared_ptr<EventLog> log;
    queue->sync([&] {
        pipe = PipeStream::make(queue);
        stream = factory(pipe);
        log = drain(stream);
        std::size_t at = 0;
        for (auto size : pieces) {
            pipe->write(Data(coded.begin() + at, coded.begin() + at + size), false, nullptr);
            at += size;
        }
        pipe->write(Data(coded.begin() + at, coded.end()), false, nullptr);
        pipe->appendEOF();
    });
    for (int i = 0; i < 10000 && !log->ended(); ++i)
        queue->sync([] {});
    queue->sync([&] {
        stream.reset();
        pipe.reset();
    });
    return log;
}

class DecodingStreams : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(test::liveStreamObjects(), 0); }
};

} // namespace

TEST_F(DecodingStreams, GzipOf100KBArrivesInReadSizedPieces) {
    auto body = sampleBody(100 * 1024);
    auto coded = gzip(body);
    std::vector<std::size_t> pieces(coded.size() / 1000, 1000);
    auto log = decodeThroughPipe(makeGzip, coded, pieces);
    EXPECT_EQ(log->bytes, body);
    EXPECT_EQ(log->trace.back(), "eof");
    for (std::size_t i = 0; i + 1 < log->trace.size(); ++i)
        EXPECT_LE(log->trace[i].size() - 5, 4096u);
}

TEST_F(DecodingStreams, BodiesSplitAtEveryPosition) {
    auto body = sampleBody(600, 3);
    struct Case {
        const char* name;
        Factory factory;
        Data coded;
    };
    std::vector<Case> cases = {{"gzip", makeGzip, gzip(body)},
                               {"compress", makeUncompress, lzwCompress(body)}};
    for (auto& c : cases) {
        for (std::size_t split = 0; split <= c.coded.size(); ++split) {
            SCOPED_TRACE(std::string(c.name) + " split " + std::to_string(split));
            auto log = decodeThroughPipe(c.factory, c.coded, {split});
            EXPECT_EQ(log->bytes, body);
            EXPECT_EQ(log->trace.back(), "eof");
        }
        SCOPED_TRACE(std::string(c.name) + " one byte at a time");
        auto log = decodeThroughPipe(c.factory, c.coded, std::vector<std::size_t>(c.coded.size(), 1));
        EXPECT_EQ(log->bytes, body);
    }
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
    test::TempDir dir;
    bool haveGzip = test::runCommand("command -v gzip").size() > 0;
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto coded = lzwCompress(c.body, c.maxBits, c.clear);
        auto log = drain(UncompressInputStream::make(ByteArrayInputStream::make(coded)));
        EXPECT_EQ(log->bytes, c.body);
        EXPECT_EQ(log->trace.back(), "eof");
        if (haveGzip) {
            // gzip reads the format too: the fixtures are real .Z data, not a private dialect.
            auto path = dir.path() / "fixture.Z";
            std::ofstream(path, std::ios::binary)
                .write(reinterpret_cast<const char*>(coded.data()),
                       static_cast<std::streamsize>(coded.size()));
            int status = -1;
            auto decoded = test::runCommand("gzip -dc < '" + path.string() + "'", &status);
            EXPECT_EQ(status, 0);
            EXPECT_TRUE(decoded == toString(c.body)) << "gzip disagrees with the fixture";
        }
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
