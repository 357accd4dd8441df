#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace pemtrox {

/// The error page template "error.html" with the placeholders "{title}" and "{message}".
/// It is installed with the program and looked for, in this order: in the directory set
/// with setDirectory (tests), beside the executable (the build tree), and in the
/// install's data directory (<prefix>/share/pemtrox, next to <prefix>/bin).
class ErrorPage {
public:
    static constexpr const char* fileName = "error.html";

    /// Makes the template be looked for only in `directory`; absent restores the default search.
    static void setDirectory(std::optional<std::filesystem::path> directory);
    /// The template file found, or absent.
    static std::optional<std::filesystem::path> templatePath();

    /// The template text, read anew for every page. Never fails: a missing, unreadable or
    /// non-UTF-8 template gives a fixed text that then becomes the whole page body.
    static std::string loadTemplate();

    /// The template with every "{title}" and "{message}" replaced by the texts, escaped
    /// for HTML: they carry client-controlled text (targets, hosts, schemes). Placeholders
    /// are found in the template only, never in the inserted texts.
    static std::string render(std::string_view templateText, std::string_view title,
                              std::string_view message);

    /// `&`, `<`, `>`, `"` and `'` as character references.
    static std::string escapeHTML(std::string_view text);
};

} // namespace pemtrox
