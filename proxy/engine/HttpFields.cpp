#include "proxy/engine/HttpFields.h"

#include "proxy/io/Data.h"

#include <chrono>

#include "proxy/engine/FieldsError.h"

namespace pemtrox {

HttpFields::HttpFields(const Fields& other) : Fields(other) {
    if (auto* http = dynamic_cast<const HttpFields*>(&other))
        firstLine_ = http->firstLine_;
}

void HttpFields::setFirstLine(std::string_view rawLine) {
    auto line = checkedLine(rawLine);
    if (line.empty())
        return;
    receiveTime = std::chrono::system_clock::now();
    countRaw(rawLine.size());
    replaceFirstLine(std::string(line));
}

void HttpFields::replaceFirstLine(std::optional<std::string> line) {
    firstLine_ = std::move(line);
    parsedRequest_.reset();
    parsedResponse_.reset();
}

bool HttpFields::addLine(std::string_view rawLine) {
    if (!firstLine_) {
        setFirstLine(rawLine);
        return false;
    }
    if (Fields::addLine(rawLine))
        return true;
    // A head may have no fields at all ("HTTP/1.1 100 Continue", "GET / HTTP/1.0"): the
    // blank line after the first line ends it, or the reader would wait for ever.
    if (fields.empty() && trimmingCRLF(rawLine).empty()) {
        countRaw(rawLine.size());
        return true;
    }
    return false;
}

const RequestFirstLine& HttpFields::parsedRequest() const {
    if (!parsedRequest_) {
        if (!firstLine_)
            throw FieldsError::noFirstLine();
        parsedRequest_ = RequestFirstLine::parse(*firstLine_);
    }
    return *parsedRequest_;
}

const ResponseFirstLine& HttpFields::parsedResponse() const {
    if (!parsedResponse_) {
        if (!firstLine_)
            throw FieldsError::noFirstLine();
        parsedResponse_ = ResponseFirstLine::parse(*firstLine_);
    }
    return *parsedResponse_;
}

void HttpFields::setRequestFirstLine(const std::string& method, const std::optional<std::string>& scheme,
                                     const std::string& host, std::optional<std::int64_t> port,
                                     const std::string& path,
                                     const std::optional<std::string>& protocolVersion, bool absoluteForm) {
    std::string version;
    if (protocolVersion) {
        version = *protocolVersion;
    } else {
        try {
            version = parsedRequest().protocolVersion;
        } catch (const FieldsError&) {
            version = "HTTP/1.1";
        }
    }
    std::string line;
    line.reserve(method.size() + path.size() + version.size() + host.size() + 16);
    line.append(method).append(" ");
    if (absoluteForm) {
        line.append(scheme.value_or("")).append("://").append(host);
        if (port)
            line.append(":").append(std::to_string(*port));
    }
    line.append(path).append(" ").append(version);
    replaceFirstLine(std::move(line));
}

void HttpFields::setResponseFirstLine(std::optional<bool> http11, std::int64_t status,
                                      const std::string& description) {
    std::string version;
    if (http11) {
        version = *http11 ? "HTTP/1.1" : "HTTP/1.0";
    } else {
        try {
            version = parsedResponse().protocolVersion;
        } catch (const FieldsError&) {
            version = "HTTP/1.1";
        }
    }
    replaceFirstLine(version + " " + std::to_string(status) + " " + description);
}

std::string HttpFields::headerText() const {
    if (!firstLine_)
        return {};
    auto fieldsText = Fields::headerText();
    std::string text;
    text.reserve(firstLine_->size() + 2 + fieldsText.size());
    text.append(*firstLine_).append("\r\n").append(fieldsText);
    return text;
}

std::shared_ptr<Fields> HttpFields::copy() const {
    return std::make_shared<HttpFields>(*this);
}

} // namespace pemtrox
