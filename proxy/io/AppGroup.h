#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "proxy/io/Data.h"

namespace pemtrox {

/// The app group's container directory. Fatal "Couldn't get container URL" when there is none.
std::filesystem::path containerURL();
/// containerURL()/"Recording": the root of the recording store.
std::filesystem::path recordingDirectoryURL();

enum class AppMessageCommand { SettingsChanged, Plumber, Log, ClearLog };
/// Exact, case-sensitive match with the command texts.
std::optional<AppMessageCommand> appMessageCommandFromString(std::string_view text);
const char* appMessageCommandText(AppMessageCommand command);

enum class AppMessageReplyType { UnknownMessage, NotRunning, Acknowleged, Plumber, Log };
const char* appMessageReplyTypeText(AppMessageReplyType type);

/// The reply as a keyed archive: "type" the type's text, "message" the bytes or no object.
Data encodeAppMessageReply(AppMessageReplyType type, const std::optional<Data>& message);

} // namespace pemtrox
