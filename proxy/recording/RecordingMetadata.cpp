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

void addTime(JSONObject& object, const char* key, const std::optional<Date>& value) {
    if (value)
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

JSONObject sizes(const std::optional<std::int64_t>& headers, const std::optional<std::int64_t>& body) {
    JSONObject sizes;
    addInteger(sizes, "headers", headers);
    addInteger(sizes, "body", body);
    return JSONObject().addObject("sizes", sizes);
}

} // namespace

std::string recordingMetadata(const ProxyEvent& event) {
    JSONObject metadata;
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

    JSONObject times;
    addTime(times, "start", event.startTime);
    addTime(times, "requestBegin", event.requestBeginTime);
    addTime(times, "requestComplete", event.requestCompleteTime);
    addTime(times, "responseBegin", event.responseBeginTime);
    addTime(times, "end", event.endTime);
    metadata.addObject("times", times);

    JSONObject durations;
    addDuration(durations, "dns", event.dnsDuration);
    addDuration(durations, "connect", event.connectDuration);
    addDuration(durations, "ssl", event.sslDuration);
    metadata.addObject("durations", durations);

    // Unsigned sum: sizes near the 64-bit limit wrap instead of overflowing.
    auto total = static_cast<std::uint64_t>(event.requestHeaderSize.value_or(0)) +
                 static_cast<std::uint64_t>(event.requestSize.value_or(0)) +
                 static_cast<std::uint64_t>(event.responseHeaderSize.value_or(0)) +
                 static_cast<std::uint64_t>(event.responseSize.value_or(0));
    metadata.addInteger("totalSize", static_cast<std::int64_t>(total));

    if (event.sslProtocol) {
        JSONObject ssl;
        ssl.addString("protocol", *event.sslProtocol);
        addText(ssl, "cipherSuite", event.cipherSuite);
        metadata.addObject("ssl", ssl);
    }
    addText(metadata, "notes", notesText(event));
    if (event.exception) {
        auto title = event.exception->errorTitle();
        metadata.addString("exception", title ? *title + ": " + event.exception->description()
                                              : event.exception->description());
    }
    metadata.addObject("request", sizes(event.requestHeaderSize, event.requestSize));
    metadata.addObject("response", sizes(event.responseHeaderSize, event.responseSize));
    return metadata.text();
}

} // namespace pemtrox
