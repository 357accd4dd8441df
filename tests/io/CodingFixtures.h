#pragma once

#include <map>
#include <random>
#include <string>

#include <gtest/gtest.h>
#include <zlib.h>

#include "proxy/io/Data.h"

namespace pemtrox::test {

inline Data gzip(const Data& input, int level = 6) {
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
inline Data lzwCompress(const Data& input, unsigned maxBits = 16, bool clearWhenFull = false) {
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
inline Data sampleBody(std::size_t size, unsigned seed = 7) {
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

} // namespace pemtrox::test
