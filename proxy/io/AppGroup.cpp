#include "proxy/io/AppGroup.h"

#include "platform/Container.h"
#include "platform/KeyedArchive.h"
#include "platform/Log.h"

namespace pemtrox {

std::filesystem::path containerURL() {
    auto dir = Container::directory();
    if (!dir)
        fatalError("Couldn't get container URL");
    return *dir;
}

std::filesystem::path recordingDirectoryURL() { return containerURL() / "Recording"; }

std::optional<AppMessageCommand> appMessageCommandFromString(std::string_view text) {
    for (auto c : {AppMessageCommand::SettingsChanged, AppMessageCommand::Plumber, AppMessageCommand::Log,
                   AppMessageCommand::ClearLog})
        if (text == appMessageCommandText(c))
            return c;
    return std::nullopt;
}

const char* appMessageCommandText(AppMessageCommand command) {
    switch (command) {
    case AppMessageCommand::SettingsChanged:
        return "SettingsChanged";
    case AppMessageCommand::Plumber:
        return "Plumber";
    case AppMessageCommand::Log:
        return "Log";
    case AppMessageCommand::ClearLog:
        return "ClearLog";
    }
    return "";
}

const char* appMessageReplyTypeText(AppMessageReplyType type) {
    switch (type) {
    case AppMessageReplyType::UnknownMessage:
        return "UnknownMessage";
    case AppMessageReplyType::NotRunning:
        return "NotRunning";
    case AppMessageReplyType::Acknowleged:
        return "Acknowleged";
    case AppMessageReplyType::Plumber:
        return "Plumber";
    case AppMessageReplyType::Log:
        return "Log";
    }
    return "";
}

Data encodeAppMessageReply(AppMessageReplyType type, const std::optional<Data>& message) {
    KeyedArchive archive;
    archive.encode("type", std::string(appMessageReplyTypeText(type)));
    if (message)
        archive.encode("message", *message);
    else
        archive.encode("message", std::monostate{});
    return archive.finish();
}

} // namespace pemtrox
