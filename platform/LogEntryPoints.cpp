#include "platform/LogEntryPoints.h"

#include "platform/Error.h"
#include "platform/Log.h"

namespace pemtrox {

void logMessage(std::string_view text) {
    LOG_INFO("{}", text);
}

void logWarning(std::string_view text, const Error& error) {
    LOG_WARNING("{}{}", text, error.description());
}

void logWarning(std::string_view text, const std::shared_ptr<const Error>& error) {
    LOG_WARNING("{}{}", text, describe(error));
}

void logError(std::string_view text, const Error& error) {
    LOG_ERROR("{}{}", text, error.description());
}

void logError(std::string_view text, const std::shared_ptr<const Error>& error) {
    LOG_ERROR("{}{}", text, describe(error));
}

} // namespace pemtrox
