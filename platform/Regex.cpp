#include "platform/Regex.h"

#include <algorithm>

#include <unicode/regex.h>
#include <unicode/unistr.h>

namespace pemtrox {

std::string RegexError::description() const {
    switch (kind_) {
    case Kind::invalidPattern:
        return "The regular expression is invalid (" + reason_ + ")";
    case Kind::timedOut:
        return "The regular expression search ran out of time";
    case Kind::failed:
        return "The regular expression search failed (" + reason_ + ")";
    }
    return {};
}

struct Regex::Impl {
    std::unique_ptr<icu::RegexPattern> pattern;
    int32_t timeLimit = 0;
};

namespace {
icu::UnicodeString unicode(std::string_view text) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}
} // namespace

Regex::Regex(std::string_view pattern, std::chrono::milliseconds timeLimit)
    : impl_(std::make_unique<Impl>()) {
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError{};
    impl_->pattern.reset(
        icu::RegexPattern::compile(unicode(pattern), UREGEX_CASE_INSENSITIVE, parseError, status));
    if (U_FAILURE(status) || !impl_->pattern)
        throw RegexError::invalidPattern(u_errorName(status));
    // Zero would mean "no limit" to the engine; keep at least one step.
    impl_->timeLimit = static_cast<int32_t>(std::max<std::chrono::milliseconds::rep>(1, timeLimit.count()));
}

Regex::~Regex() = default;
Regex::Regex(Regex&&) noexcept = default;
Regex& Regex::operator=(Regex&&) noexcept = default;

bool Regex::search(std::string_view text) const {
    // The matcher keeps a reference to its input, which must outlive it.
    icu::UnicodeString input = unicode(text);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(impl_->pattern->matcher(input, status));
    if (U_FAILURE(status) || !matcher)
        throw RegexError::failed(u_errorName(status));
    matcher->setTimeLimit(impl_->timeLimit, status);
    bool found = U_SUCCESS(status) && matcher->find(status);
    if (status == U_REGEX_TIME_OUT)
        throw RegexError::timedOut();
    if (U_FAILURE(status))
        throw RegexError::failed(u_errorName(status));
    return found;
}

std::string Regex::escapedPattern(std::string_view text) {
    // The pattern metacharacters outside a character class; everything else, letters and
    // digits above all, must stay unescaped because "\d" or "\1" would mean something else.
    constexpr std::string_view special = "*?+[(){}^$|\\./";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (special.find(c) != std::string_view::npos)
            out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

} // namespace pemtrox
