#include "proxy/recording/RecordingStore.h"

#include <algorithm>
#include <cstdio>

namespace pemtrox::RecordingStore {

double referenceTimestamp(std::chrono::system_clock::time_point time) {
    constexpr double unixOfReferenceDate = 978307200.0;
    return std::chrono::duration<double>(time.time_since_epoch()).count() - unixOfReferenceDate;
}

std::string directoryName(double initialTimestamp, std::int64_t counter) {
    char name[64];
    std::snprintf(name, sizeof name, "%015.0f-%010lld", initialTimestamp, static_cast<long long>(counter));
    return name;
}

std::int64_t bodyCap(const RecordingSettings& settings, bool tunnel, bool request) {
    if (tunnel && settings.recordPartialOpaqueBody)
        return opaqueBodyMaxSize;
    return std::max<std::int64_t>(0, request ? settings.requestBodyMaxSize : settings.responseBodyMaxSize);
}

ErrorPtr removeExchangeDirectory(const std::filesystem::path& root, const std::filesystem::path& directory) {
    auto name = directory.filename();
    if (directory.parent_path().lexically_normal() != root.lexically_normal() || name.empty() ||
        name == "." || name == "..")
        return makeError<GenericError>("not an exchange directory of the store: " + directory.string());
    std::error_code error;
    std::filesystem::remove_all(directory, error);
    if (error)
        return systemError("remove(" + directory.string() + ")", error.value());
    return nullptr;
}

} // namespace pemtrox::RecordingStore
