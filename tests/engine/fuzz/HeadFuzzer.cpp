// libFuzzer target for head reading: the input's first byte picks how the rest is cut
// into pieces; the head must parse or fail with a FieldsError, within the limits.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "proxy/engine/FieldsError.h"
#include "proxy/engine/HeadParser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pemtrox;
    if (size == 0)
        return 0;
    std::size_t step = 1 + data[0] % 64;
    std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    auto head = std::make_shared<HttpFields>();
    HeadParser parser(head);
    try {
        for (std::size_t pos = 0; pos < input.size(); pos += step) {
            if (auto used = parser.put(input.substr(pos, step))) {
                if (*used > step || head->rawSize > Fields::maxHeadSize || head->fields.size() > Fields::maxFieldCount)
                    std::abort();
                for (auto& field : head->fields)
                    if (field.value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
                        std::abort();
                (void)head->headerText();
                try {
                    (void)head->parsedRequest();
                } catch (const FieldsError&) {
                }
                break;
            }
        }
    } catch (const FieldsError&) {
    }
    return 0;
}
