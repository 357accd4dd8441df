#pragma once

#include "proxy/io/DecodingInputStream.h"
#include "proxy/io/LzwDecoder.h"

namespace pemtrox {

/// Removes the "compress" (LZW) content coding. The format has no end mark: the coded data
/// ends with the body. A body that is not valid ends with an error event ("Input Error").
class UncompressInputStream : public DecodingInputStream {
public:
    static std::shared_ptr<UncompressInputStream> make(std::shared_ptr<MyInputStream> parent);
    explicit UncompressInputStream(std::shared_ptr<MyInputStream> parent)
        : DecodingInputStream(std::move(parent)) {}

protected:
    Step decode(const std::uint8_t* in, std::size_t inLen, bool inputEnded, std::uint8_t* out,
                std::size_t outLen) override;

private:
    LzwDecoder decoder_;
    bool sawInput_ = false;
};

} // namespace pemtrox
