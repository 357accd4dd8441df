#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Model/Tools/MatchDefinition.h"

namespace pemtrox {

class UserDefaults;

/// What the recording writes. The defaults are those of an empty store.
struct RecordingSettings {
    /// The size limit used where none is stored (or 0 is).
    static constexpr std::int64_t defaultBodyMaxSize = 1048576;

    bool recordRequestBody = true;
    bool recordResponseBody = true;
    std::int64_t requestBodyMaxSize = defaultBodyMaxSize;
    std::int64_t responseBodyMaxSize = defaultBodyMaxSize;
    /// For tunnels of opaque bytes, record at most 10240 bytes of each body instead.
    bool recordPartialOpaqueBody = true;
    bool recordRawTCPStreams = true;
    /// When at least one is enabled, only matching exchanges are recorded.
    std::vector<MatchDefinition> include;
    /// Matching exchanges are not recorded.
    std::vector<MatchDefinition> exclude;

    /// Reads the recording keys under the prefix (e.g. "recordingSettings."). The Booleans are
    /// true unless stored; a size limit of 0 or none is the default, any other value (negative
    /// ones included) is kept.
    static RecordingSettings load(const UserDefaults& userDefaults, const std::string& prefix);

    bool operator==(const RecordingSettings&) const = default;
};

} // namespace pemtrox
