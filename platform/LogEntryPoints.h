#pragma once

#include <memory>
#include <string_view>

namespace pemtrox {

class Error;

/// The shared log entry points, beside the framework so that every layer can report
/// through them.

/// Logs the text whole at the info level.
void logMessage(std::string_view text);
/// Logs at the warning level the text followed directly by the error's description.
/// Callers end the text with ": ".
void logWarning(std::string_view text, const Error& error);
void logWarning(std::string_view text, const std::shared_ptr<const Error>& error);
/// The same at the error level.
void logError(std::string_view text, const Error& error);
void logError(std::string_view text, const std::shared_ptr<const Error>& error);

} // namespace pemtrox
