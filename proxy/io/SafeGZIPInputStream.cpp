#include "proxy/io/SafeGZIPInputStream.h"

#include <zlib.h>

#include "proxy/io/InputStreamError.h"
#include "proxy/io/Plumber.h"

namespace pemtrox {

struct SafeGZIPInputStream::Inflater {
    z_stream zs{};
    bool initialized = false;
    // 15 window bits + 32: gzip or zlib header, detected from the data.
    Inflater() { initialized = inflateInit2(&zs, 15 + 32) == Z_OK; }
    ~Inflater() {
        if (initialized)
            inflateEnd(&zs);
    }
};

namespace {
ErrorPtr gzipError(const z_stream& zs, int code) {
    std::string detail = zs.msg ? zs.msg : "zlib error " + std::to_string(code);
    return makeError<GenericError>("Invalid gzip data: " + detail, "Input Error");
}
} // namespace

std::shared_ptr<SafeGZIPInputStream> SafeGZIPInputStream::make(std::shared_ptr<MyInputStream> parent) {
    return Plumber::make<SafeGZIPInputStream>(std::move(parent));
}

SafeGZIPInputStream::SafeGZIPInputStream(std::shared_ptr<MyInputStream> parent)
    : DecodingInputStream(std::move(parent)), inflater_(std::make_unique<Inflater>()) {}

SafeGZIPInputStream::~SafeGZIPInputStream() = default;

DecodingInputStream::Step SafeGZIPInputStream::decode(const std::uint8_t* in, std::size_t inLen,
                                                      bool inputEnded, std::uint8_t* out,
                                                      std::size_t outLen) {
    z_stream& zs = inflater_->zs;
    if (!inflater_->initialized)
        return {0, 0, false, makeError<GenericError>("Failed to set up gzip decoding", "Input Error")};
    if (phase_ == Phase::start) {
        if (inLen == 0)
            return {0, 0, inputEnded, nullptr}; // an empty body stays empty
        phase_ = Phase::member;
    }
    if (phase_ == Phase::between) {
        if (inLen == 0)
            return {0, 0, inputEnded, nullptr};
        if (in[0] != 0x1f || (inLen >= 2 && in[1] != 0x8b) || (inLen < 2 && inputEnded))
            return {inLen, 0, true, nullptr}; // not another member: the rest is dropped
        if (inLen < 2)
            return {};
        inflateReset(&zs);
        phase_ = Phase::member;
    }
    zs.next_in = const_cast<Bytef*>(in);
    zs.avail_in = static_cast<uInt>(std::min<std::size_t>(inLen, UINT32_MAX));
    zs.next_out = out;
    zs.avail_out = static_cast<uInt>(std::min<std::size_t>(outLen, UINT32_MAX));
    std::size_t availIn = zs.avail_in, availOut = zs.avail_out;
    int code = inflate(&zs, Z_NO_FLUSH);
    Step step{availIn - zs.avail_in, availOut - zs.avail_out, false, nullptr};
    switch (code) {
    case Z_STREAM_END:
        phase_ = Phase::between;
        return step;
    case Z_OK:
        return step;
    case Z_BUF_ERROR:
        if (step.consumed == 0 && step.produced == 0 && inputEnded)
            step.error = InputStreamError::eof().clone();
        return step;
    default:
        step.error = gzipError(zs, code);
        return step;
    }
}

} // namespace pemtrox
