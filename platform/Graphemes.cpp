#include "platform/Graphemes.h"

#include <memory>

#include <unicode/ubrk.h>
#include <unicode/utext.h>

namespace pemtrox {

std::string firstGraphemes(std::string_view utf8, std::size_t count) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UText, decltype(&utext_close)> text(
        utext_openUTF8(nullptr, utf8.data(), static_cast<int64_t>(utf8.size()), &status), utext_close);
    std::unique_ptr<UBreakIterator, decltype(&ubrk_close)> breaks(
        ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status), ubrk_close);
    if (U_FAILURE(status))
        return std::string(utf8);
    ubrk_setUText(breaks.get(), text.get(), &status);
    if (U_FAILURE(status))
        return std::string(utf8);
    // With UTF-8 text the break positions are byte offsets.
    int32_t end = 0;
    for (std::size_t n = 0; n < count; ++n) {
        int32_t next = ubrk_next(breaks.get());
        if (next == UBRK_DONE)
            return std::string(utf8);
        end = next;
    }
    return std::string(utf8.substr(0, static_cast<std::size_t>(end)));
}

} // namespace pemtrox
