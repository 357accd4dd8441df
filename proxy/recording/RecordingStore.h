#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/Error.h"
#include "proxy/engine/RecordingSettings.h"
#include "proxy/io/Data.h"

namespace pemtrox {

/// The layout of the recording store: exchange directory names, body caps and the files of
/// an exchange (BodyFile appends the bodies up to their cap). The reading app relies on all of it.
namespace RecordingStore {

inline constexpr const char* metadataFile = "metadata.json";
inline constexpr const char* requestHeaderFile = "request_hdr.http";
inline constexpr const char* responseHeaderFile = "response_hdr.http";
inline constexpr const char* requestBodyFile = "request.dat";
inline constexpr const char* responseBodyFile = "response.dat";
/// The cap of each direction of a tunnel when only the start of opaque bodies is kept.
inline constexpr std::int64_t opaqueBodyMaxSize = 10240;

/// Seconds since 2001-01-01 00:00:00 UTC.
double referenceTimestamp(std::chrono::system_clock::time_point time);

/// "%015.0f-%010d" of the two: sorts as text in the order of the counter.
std::string directoryName(double initialTimestamp, std::int64_t counter);

/// The most bytes a body file of the exchange may hold; a negative size in the settings
/// counts as 0.
std::int64_t bodyCap(const RecordingSettings& settings, bool tunnel, bool request);

/// Removes an exchange directory with everything in it, but only a direct child of the
/// root: anything else is refused with an error, as is a failed removal. Null on success.
ErrorPtr removeExchangeDirectory(const std::filesystem::path& root, const std::filesystem::path& directory);

} // namespace RecordingStore

} // namespace pemtrox
