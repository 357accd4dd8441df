#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pemtrox {

/// Incremental decoder of the Unix "compress" (.Z, LZW) format: 0x1f 0x9d, a flags byte
/// (maximum code width 9-16, block mode), then codes of 9 bits upwards, least significant
/// bit first. Each time the code width changes, or the table is cleared, the codes
/// continue at the next boundary of a group of eight codes of the old width, as the
/// format's writers pad them.
class LzwDecoder {
public:
    struct Step {
        std::size_t consumed = 0;
        std::size_t produced = 0;
        std::string error; // empty when none
    };

    LzwDecoder();
    /// Decodes as much of `in` as fits in `out`. Progress stops when the output is full or
    /// the input is used up.
    Step decode(const std::uint8_t* in, std::size_t inLen, std::uint8_t* out, std::size_t outLen);
    /// True once the three header bytes have been read.
    bool hasHeader() const { return headerLength_ == 3; }
    /// True when output of the last code is still waiting for room.
    bool hasPendingOutput() const { return !stack_.empty(); }

private:
    static constexpr std::uint32_t clearCode = 256;
    void startSegment(unsigned newBits);

    std::uint8_t header_[3] = {};
    std::size_t headerLength_ = 0;
    unsigned maxBits_ = 16;
    bool blockMode_ = true;
    std::uint32_t maxMaxCode_ = 0;
    unsigned nBits_ = 9;
    std::uint32_t maxCode_ = 511;
    std::uint32_t freeEnt_ = 257;
    std::int32_t oldCode_ = -1;
    std::uint8_t finChar_ = 0;
    std::uint32_t bitBuf_ = 0;
    unsigned bitCount_ = 0;
    std::uint64_t segmentBits_ = 0; // code bits read since the current width began
    std::uint64_t skipBits_ = 0;    // padding still to be skipped
    std::vector<std::uint16_t> prefix_;
    std::vector<std::uint8_t> suffix_;
    std::vector<std::uint8_t> stack_; // the current code's bytes, last byte first
};

} // namespace pemtrox
