#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pemtrox {

/// The host-only location types of older settings; each reads as a Glob host pattern.
enum class LegacyMatchType { Exact, Prefix, Suffix, Contains };

/// "Exact", "Prefix", "Suffix" or "Contains".
const char* legacyMatchTypeText(LegacyMatchType type);
/// Exact, case-sensitive comparison with the four texts.
std::optional<LegacyMatchType> legacyMatchTypeFromString(std::string_view text);
/// The Glob host pattern of the type: the host, the host then "*", "*" then the host, or the
/// host between two "*". The host is used as written, so glob characters in it keep their meaning.
std::string legacyHostPattern(LegacyMatchType type, std::string_view host);

} // namespace pemtrox
