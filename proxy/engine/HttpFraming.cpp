#include "proxy/engine/HttpFraming.h"

#include <cstdlib>

#include "proxy/engine/Fields.h"
#include "proxy/engine/HttpText.h"
#include "proxy/engine/ProxyHttpError.h"

namespace pemtrox::HttpFraming {

Framing requestFraming(Fields& head) {
    Framing framing;
    std::optional<std::string> coding;
    int codings = 0;
    for (auto& field : head.fields)
        if (equalsIgnoringCase(field.name, "Transfer-Encoding")) {
            coding = coding ? *coding + ", " + field.value : field.value;
            ++codings;
        }
    if (coding) {
        if (codings != 1 || !equalsIgnoringCase(*coding, "chunked"))
            throw ProxyHttpError::unsupportedTransferEncoding(*coding);
        framing.chunked = true;
    }
    framing.length = declaredLength(head);
    if (framing.chunked) {
        // Chunked framing wins; a length beside it could make the server frame otherwise.
        std::erase_if(head.fields,
                      [](const Field& f) { return equalsIgnoringCase(f.name, "Content-Length"); });
        framing.length.reset();
    }
    return framing;
}

std::optional<std::int64_t> declaredLength(const Fields& head) {
    std::optional<std::int64_t> length;
    for (auto& field : head.fields) {
        if (!equalsIgnoringCase(field.name, "Content-Length"))
            continue;
        auto value = parseDecimal(trimWhitespace(field.value));
        if (!value || *value < 0 || field.value.starts_with('+') || (length && *length != *value))
            throw ProxyHttpError::invalidContentLength(field.value);
        length = value;
    }
    return length;
}

float versionNumber(const std::string& protocolVersion) {
    if (!protocolVersion.starts_with("HTTP/"))
        return -1;
    auto text = protocolVersion.substr(5, protocolVersion.find(' ', 5) - 5);
    if (text.empty())
        return -1;
    char* end = nullptr;
    float value = std::strtof(text.c_str(), &end);
    if (end != text.c_str() + text.size())
        return -1;
    return value;
}

bool responseHasBody(std::int64_t status, const std::optional<std::string>& method) {
    if (status == 204 || status == 205 || status == 304 || (status >= 100 && status <= 199))
        return false;
    return !(method && equalsIgnoringCase(*method, "HEAD"));
}

} // namespace pemtrox::HttpFraming
