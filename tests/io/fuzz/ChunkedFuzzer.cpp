// libFuzzer target for chunked body decoding over a pipe; see README.md.
#include <cstdint>

#include "tests/io/fuzz/ChunkedFuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    pemtrox::fuzz::checkChunkedInput(data, size);
    return 0;
}
