#include <filesystem>
#include <random>

#include <gtest/gtest.h>

#include "tests/io/fuzz/ChunkedFuzzCheck.h"
#include "tests/support/TestSupport.h"

using namespace pemtrox;

namespace {
std::vector<Data> seeds() {
    std::vector<Data> out;
    auto dir =
        std::filesystem::path(std::getenv("PEMTROX_SOURCE_DIR") ? std::getenv("PEMTROX_SOURCE_DIR") : ".") /
        "tests/io/fuzz/seeds";
    for (auto& entry : std::filesystem::directory_iterator(dir))
        out.push_back(toData(test::slurp(entry.path())));
    return out;
}
} // namespace

// The fuzzer's check, run on its seeds and on seeded random mutations of them, so a
// regression shows up without a fuzzing run. Any broken promise aborts.
TEST(ChunkedFuzzCheck, SeedsAndMutationsKeepEveryPromise) {
    auto corpus = seeds();
    ASSERT_EQ(corpus.size(), 3u);
    std::mt19937 random(1234);
    const std::string alphabet = "0123456789abcdefABCDEFgxyz;+- \t\r\n\r\n";
    for (int round = 0; round < 600; ++round) {
        Data input = corpus[round % corpus.size()];
        int edits = 1 + random() % 4;
        for (int e = 0; e < edits && input.size() > 1; ++e) {
            std::size_t at = 1 + random() % (input.size() - 1);
            switch (random() % 3) {
            case 0:
                input[at] = static_cast<std::uint8_t>(alphabet[random() % alphabet.size()]);
                break;
            case 1:
                input.erase(input.begin() + at);
                break;
            default:
                input.insert(input.begin() + at,
                             static_cast<std::uint8_t>(alphabet[random() % alphabet.size()]));
            }
        }
        input[0] = static_cast<std::uint8_t>(random());
        fuzz::checkChunkedInput(input.data(), input.size());
    }
}
