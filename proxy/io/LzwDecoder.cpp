#include "proxy/io/LzwDecoder.h"

namespace pemtrox {

LzwDecoder::LzwDecoder() : prefix_(1u << 16), suffix_(1u << 16) {
    for (unsigned i = 0; i < 256; ++i)
        suffix_[i] = static_cast<std::uint8_t>(i);
}

void LzwDecoder::startSegment(unsigned newBits) {
    std::uint64_t group = static_cast<std::uint64_t>(nBits_) * 8;
    skipBits_ = (group - segmentBits_ % group) % group;
    segmentBits_ = 0;
    nBits_ = newBits;
    maxCode_ = nBits_ == maxBits_ ? maxMaxCode_ : (1u << nBits_) - 1;
}

LzwDecoder::Step LzwDecoder::decode(const std::uint8_t* in, std::size_t inLen, std::uint8_t* out,
                                    std::size_t outLen) {
    Step step;
    for (;;) {
        while (!stack_.empty() && step.produced < outLen) {
            out[step.produced++] = stack_.back();
            stack_.pop_back();
        }
        if (!stack_.empty() || step.produced == outLen)
            return step;
        if (headerLength_ < 3) {
            while (headerLength_ < 3 && step.consumed < inLen)
                header_[headerLength_++] = in[step.consumed++];
            if (headerLength_ < 3)
                return step;
            if (header_[0] != 0x1f || header_[1] != 0x9d) {
                step.error = "not in compress format";
                return step;
            }
            maxBits_ = header_[2] & 0x1f;
            blockMode_ = (header_[2] & 0x80) != 0;
            if (maxBits_ < 9 || maxBits_ > 16) {
                step.error = "unsupported code width " + std::to_string(maxBits_);
                return step;
            }
            maxMaxCode_ = 1u << maxBits_;
            nBits_ = 9;
            maxCode_ = nBits_ == maxBits_ ? maxMaxCode_ : (1u << nBits_) - 1;
            freeEnt_ = blockMode_ ? 257 : 256;
        }
        while (skipBits_ > 0) {
            if (bitCount_ > 0) {
                unsigned drop = static_cast<unsigned>(std::min<std::uint64_t>(skipBits_, bitCount_));
                bitBuf_ = drop >= 32 ? 0 : bitBuf_ >> drop;
                bitCount_ -= drop;
                skipBits_ -= drop;
            } else if (step.consumed < inLen) {
                std::uint64_t whole = std::min<std::uint64_t>(skipBits_ / 8, inLen - step.consumed);
                if (whole > 0) {
                    step.consumed += whole;
                    skipBits_ -= whole * 8;
                } else {
                    bitBuf_ = in[step.consumed++];
                    bitCount_ = 8;
                }
            } else {
                return step;
            }
        }
        if (freeEnt_ > maxCode_) {
            if (nBits_ >= 16) {
                step.error = "code width past 16 bits";
                return step;
            }
            startSegment(nBits_ + 1);
            continue;
        }
        while (bitCount_ < nBits_) {
            if (step.consumed == inLen)
                return step;
            bitBuf_ |= static_cast<std::uint32_t>(in[step.consumed++]) << bitCount_;
            bitCount_ += 8;
        }
        std::uint32_t code = bitBuf_ & ((1u << nBits_) - 1);
        bitBuf_ >>= nBits_;
        bitCount_ -= nBits_;
        segmentBits_ += nBits_;

        if (oldCode_ == -1) {
            if (code >= 256) {
                step.error = "corrupt input";
                return step;
            }
            oldCode_ = static_cast<std::int32_t>(code);
            finChar_ = static_cast<std::uint8_t>(code);
            stack_.push_back(finChar_);
            continue;
        }
        if (code == clearCode && blockMode_) {
            freeEnt_ = 256;
            startSegment(9);
            continue;
        }
        std::uint32_t incode = code;
        if (code >= freeEnt_) {
            if (code > freeEnt_) {
                step.error = "corrupt input";
                return step;
            }
            stack_.push_back(finChar_);
            code = static_cast<std::uint32_t>(oldCode_);
        }
        while (code >= 256) {
            if (stack_.size() > (1u << 16)) {
                step.error = "corrupt input";
                return step;
            }
            stack_.push_back(suffix_[code]);
            code = prefix_[code];
        }
        finChar_ = static_cast<std::uint8_t>(code);
        stack_.push_back(finChar_);
        if (freeEnt_ < maxMaxCode_) {
            prefix_[freeEnt_] = static_cast<std::uint16_t>(oldCode_);
            suffix_[freeEnt_] = finChar_;
            ++freeEnt_;
        }
        oldCode_ = static_cast<std::int32_t>(incode);
    }
}

} // namespace pemtrox
