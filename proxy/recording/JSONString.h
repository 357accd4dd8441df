#pragma once

#include <string>
#include <string_view>

namespace pemtrox {

/// The two ways the recording's JSON writers write a text. Both take bytes that are not
/// well-formed UTF-8 as U+FFFD and write \" \\ \n \r \t as such.
enum class JSONStringForm {
    /// The form of the serialiser whose files the reading app knows ("metadata.json"):
    /// every "/" as "\/", \b and \f short, other control characters as \u00xx in lower
    /// case, everything else as itself.
    serialiser,
    /// The streaming writer's form, which may stand inside a script element: "/" escaped
    /// only in "</"; \b, \f, the other control characters, U+0080 to U+009F and U+2000 to
    /// U+20FF as \uXXXX in upper case; everything else as itself.
    scriptSafe,
};

/// The quoted, escaped form of a text.
std::string quotedJSONString(std::string_view text, JSONStringForm form);
/// Appends the quoted, escaped form of a text.
void appendQuotedJSONString(std::string& out, std::string_view text, JSONStringForm form);

} // namespace pemtrox
