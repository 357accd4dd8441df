#include "proxy/recording/RecordingMetadata.h"

#include <cmath>

#include "proxy/engine/ProxyEvent.h"
#include "proxy/io/InetAddress.h"
#include "proxy/recording/JSONObject.h"

namespace pemtrox {

namespace {

void addText(JSONObject& object, const char* key, const std::optional<std::string>& value) {
    if (value)
        object.addString(key, *value);
}

void addInteger(JSONObject& object, const char* key, const std::optional<std::int64_t>& value) {
    if (value)
        object.addInteger(key, *value);
}

void addTime(JSONObject& object, const char* key, const std::optional<Date>& value, std::size_t slot,
             RecordingTimeTexts* times) {
    if (!value)
        return;
    if (times)
        object.addString(key, times->text(slot, *value));
    else
        object.addString(key, ISO8601String(*value));
}

// Seconds to whole milliseconds, halves away from zero (0.0125 s gives 13).
void addDuration(JSONObject& object, const char* key, const std::optional<double>& seconds) {
    if (seconds)
        object.addNumber(key, std::round(*seconds * 1000));
}

std::optional<std::string> notesText(const ProxyEvent& event) {
    auto it = event.attributes.find(ProxyEvent::NotesAttribute);
    if (it == event.attributes.end())
        return std::nullopt;
    if (auto* text = std::any_cast<std::string>(&it->second))
        return *text;
    auto* list = std::any_cast<std::vector<std::string>>(&it->second);
    if (!list)
        return std::nullopt;
    std::string joined;
    for (const auto& note : *list) {
        if (&note != &list->front())
            joined += '\n';
        joined += note;
    }
    return joined;
}

void addSizes(JSONObject& object, const char* key, const std::optional<std::int64_t>& headers,
              const std::optional<std::int64_t>& body) {
    object.openObject(key).openObject("sizes");
    addInteger(object, "headers", headers);
    addInteger(object, "body", body);
    object.closeObject().closeObject();
}

} // namespace

const std::string& RecordingTimeTexts::text(std::size_t slot, Date date) {
    auto& entry = entries_.at(slot);
    if (!entry.text.empty() && entry.date == date)
        return entry.text;
    entry.date = date;
    // An exchange's times mostly fall in one second, whose text (zone included) differs only
    // in the milliseconds: another time's text is patched instead of formatted again.
    auto second = std::chrono::floor<std::chrono::seconds>(date);
    for (const auto& other : entries_) {
        auto dot = other.text.find('.');
        if (&other == &entry || other.text.empty() || dot == std::string::npos ||
            other.text.size() < dot + 4 || std::chrono::floor<std::chrono::seconds>(other.date) != second)
            continue;
        entry.text = other.text;
        auto millis = std::chrono::floor<std::chrono::milliseconds>(date - second).count();
        entry.text[dot + 1] = static_cast<char>('0' + millis / 100);
        entry.text[dot + 2] = static_cast<char>('0' + millis / 10 % 10);
        entry.text[dot + 3] = static_cast<char>('0' + millis % 10);
        return entry.text;
    }
    entry.text = ISO8601String(date);
    return entry.text;
}

std::string recordingMetadata(const ProxyEvent& event, RecordingTimeTexts* times, std::string buffer) {
    JSONObject metadata(std::move(buffer));
    // About the size of a whole exchange's text, so that it is not grown step by step.
    metadata.reserve(1024);
    metadata.addString("status", name(event.status));
    addText(metadata, "method", event.method);
    addText(metadata, "protocolVersion", event.protocolVersion);
    addText(metadata, "scheme", event.scheme);
    addText(metadata, "host", event.host);
    addInteger(metadata, "port", event.port);
    addInteger(metadata, "actualPort", event.portOrDefault());
    addText(metadata, "path", event.path());
    addText(metadata, "query", event.query());
    metadata.addBool("tunnel", event.tunnel);
    metadata.addBool("keptAlive", event.keptAlive);
    metadata.addBool("webSocket", event.webSocket);
    if (event.remoteAddress)
        metadata.addString("remoteAddress", event.remoteAddress->description());
    if (event.clientAddress)
        metadata.addString("clientAddress", event.clientAddress->description());

    metadata.openObject("times");
    addTime(metadata, "start", event.startTime, 0, times);
    addTime(metadata, "requestBegin", event.requestBeginTime, 1, times);
    addTime(metadata, "requestComplete", event.requestCompleteTime, 2, times);
    addTime(metadata, "responseBegin", event.responseBeginTime, 3, times);
    addTime(metadata, "end", event.endTime, 4, times);
    metadata.closeObject();

    metadata.openObject("durations");
    addDuration(metadata, "dns", event.dnsDuration);
    addDuration(metadata, "connect", event.connectDuration);
    addDuration(metadata, "ssl", event.sslDuration);
    metadata.closeObject();

    // Unsigned sum: sizes near the 64-bit limit wrap instead of overflowing.
    auto total = static_cast<std::uint64_t>(event.requestHeaderSize.value_or(0)) +
                 static_cast<std::uint64_t>(event.requestSize.value_or(0)) +
                 static_cast<std::uint64_t>(event.responseHeaderSize.value_or(0)) +
                 static_cast<std::uint64_t>(event.responseSize.value_or(0));
    metadata.addInteger("totalSize", static_cast<std::int64_t>(total));

    if (event.sslProtocol) {
        metadata.openObject("ssl").addString("protocol", *event.sslProtocol);
        addText(metadata, "cipherSuite", event.cipherSuite);
        metadata.closeObject();
    }
    addText(metadata, "notes", notesText(event));
    if (event.exception) {
        auto title = event.exception->errorTitle();
        metadata.addString("exception", title ? *title + ": " + event.exception->description()
                                              : event.exception->description());
    }
    addSizes(metadata, "request", event.requestHeaderSize, event.requestSize);
    addSizes(metadata, "response", event.responseHeaderSize, event.responseSize);
    return metadata.take();
}

} // namespace pemtrox
