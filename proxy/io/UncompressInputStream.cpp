#include "proxy/io/UncompressInputStream.h"

#include "proxy/io/Plumber.h"

namespace pemtrox {

std::shared_ptr<UncompressInputStream> UncompressInputStream::make(std::shared_ptr<MyInputStream> parent) {
    return Plumber::make<UncompressInputStream>(std::move(parent));
}

DecodingInputStream::Step UncompressInputStream::decode(const std::uint8_t* in, std::size_t inLen,
                                                        bool inputEnded, std::uint8_t* out,
                                                        std::size_t outLen) {
    auto result = decoder_.decode(in, inLen, out, outLen);
    Step step{result.consumed, result.produced, false, nullptr};
    sawInput_ = sawInput_ || result.consumed > 0;
    if (!result.error.empty()) {
        step.error = makeError<GenericError>("Invalid compress data: " + result.error, "Input Error");
        return step;
    }
    if (inputEnded && step.consumed == inLen && !decoder_.hasPendingOutput() && step.produced < outLen) {
        // All input used and nothing more to hand out: the coded data is over. A body
        // that stopped inside the header is not compress data.
        if (sawInput_ && !decoder_.hasHeader())
            step.error = makeError<GenericError>("Invalid compress data: truncated header", "Input Error");
        else
            step.finished = true;
    }
    return step;
}

} // namespace pemtrox
