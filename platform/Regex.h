#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Error.h"

namespace pemtrox {

/// A pattern that does not compile, or a search that could not finish.
class RegexError : public ErrorBase<RegexError> {
public:
    enum class Kind { invalidPattern, timedOut, failed };

    /// The engine rejected the pattern; `reason` is the engine's error name.
    static RegexError invalidPattern(std::string reason) { return {Kind::invalidPattern, std::move(reason)}; }
    /// The search used up its time limit.
    static RegexError timedOut() { return {Kind::timedOut, {}}; }
    /// The search stopped for another reason (e.g. its backtracking stack ran out).
    static RegexError failed(std::string reason) { return {Kind::failed, std::move(reason)}; }

    Kind kind() const { return kind_; }
    const std::string& reason() const { return reason_; }
    std::string description() const override;

private:
    RegexError(Kind kind, std::string reason) : kind_(kind), reason_(std::move(reason)) {}
    Kind kind_;
    std::string reason_;
};

/// A compiled regular expression that ignores case (Unicode case folding). Patterns and
/// texts are UTF-8; invalid sequences read as U+FFFD. Every search is bounded in time, because
/// the texts searched come from clients and a pattern with nested repetition could otherwise
/// hold a server queue for minutes.
class Regex {
public:
    /// Counted in the engine's own time units (blocks of work steps, each a millisecond or less
    /// of processor time); an ordinary URL pattern needs a tiny fraction of one.
    static constexpr std::chrono::milliseconds defaultTimeLimit{50};

    /// Compiles the pattern. Throws RegexError (invalidPattern) when the engine rejects it.
    explicit Regex(std::string_view pattern, std::chrono::milliseconds timeLimit = defaultTimeLimit);
    ~Regex();
    Regex(Regex&&) noexcept;
    Regex& operator=(Regex&&) noexcept;

    /// Whether the expression matches anywhere in the text. Throws RegexError (timedOut or
    /// failed) when the search cannot finish; the caller decides what that counts as.
    bool search(std::string_view text) const;

    /// The text with every character that has a meaning in a pattern escaped by a backslash,
    /// so that the result matches exactly the text.
    static std::string escapedPattern(std::string_view text);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace pemtrox
