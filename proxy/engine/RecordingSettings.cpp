#include "proxy/engine/RecordingSettings.h"

#include "platform/UserDefaults.h"

namespace pemtrox {

namespace {
std::int64_t sizeLimit(const UserDefaults& userDefaults, const std::string& key) {
    auto size = userDefaults.integerForKey(key);
    return size == 0 ? RecordingSettings::defaultBodyMaxSize : size;
}
} // namespace

RecordingSettings RecordingSettings::load(const UserDefaults& userDefaults, const std::string& prefix) {
    RecordingSettings settings;
    settings.recordRequestBody = userDefaults.optionalBool(prefix + "recordRequestBody").value_or(true);
    settings.recordResponseBody = userDefaults.optionalBool(prefix + "recordResponseBody").value_or(true);
    settings.requestBodyMaxSize = sizeLimit(userDefaults, prefix + "requestBodyMaxSize");
    settings.responseBodyMaxSize = sizeLimit(userDefaults, prefix + "responseBodyMaxSize");
    settings.recordPartialOpaqueBody =
        userDefaults.optionalBool(prefix + "recordPartialOpaqueBody").value_or(true);
    settings.recordRawTCPStreams = userDefaults.optionalBool(prefix + "recordRawTCPStreams").value_or(true);
    settings.include =
        MatchDefinition::loadList(userDefaults.objectForKey(prefix + "include"), prefix + "include");
    settings.exclude =
        MatchDefinition::loadList(userDefaults.objectForKey(prefix + "exclude"), prefix + "exclude");
    return settings;
}

} // namespace pemtrox
