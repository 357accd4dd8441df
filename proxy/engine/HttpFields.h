#pragma once

#include <optional>
#include <string>

#include "proxy/engine/Fields.h"
#include "proxy/engine/FirstLine.h"

namespace pemtrox {

/// A message head: the first line (request or status line) and the header fields. The
/// first line is parsed on demand and the parse is kept until the line changes.
class HttpFields : public Fields {
public:
    HttpFields() = default;
    /// Copies the field list, and the first line when `other` is an HttpFields.
    explicit HttpFields(const Fields& other);
    HttpFields(const HttpFields& other) : HttpFields(static_cast<const Fields&>(other)) {}

    /// The request or status line without its line end.
    const std::optional<std::string>& firstLine() const { return firstLine_; }
    /// Takes the first line from its raw bytes; a blank line is ignored. Throws FieldsError.
    void setFirstLine(std::string_view rawLine);
    /// Replaces the first line with a text built by the engine.
    void replaceFirstLine(std::optional<std::string> line);

    /// The first line while there is none, then a field line. Throws FieldsError.
    bool addLine(std::string_view rawLine) override;
    using Fields::addLine;

    /// Throws FieldsError (noFirstLine, invalidFirstLine).
    const RequestFirstLine& parsedRequest() const;
    /// Throws FieldsError (noFirstLine, invalidFirstLine).
    const ResponseFirstLine& parsedResponse() const;

    /// Rebuilds the request line: origin form "METHOD path VERSION" or absolute form
    /// "METHOD scheme://host[:port]path VERSION". Without a version the current line's is
    /// kept, else "HTTP/1.1".
    void setRequestFirstLine(const std::string& method, const std::optional<std::string>& scheme,
                             const std::string& host, std::optional<std::int64_t> port,
                             const std::string& path, const std::optional<std::string>& protocolVersion,
                             bool absoluteForm);
    /// Builds "VERSION STATUS DESCRIPTION": HTTP/1.1 or HTTP/1.0 by the flag; without the
    /// flag the current status line's version, else "HTTP/1.1".
    void setResponseFirstLine(std::optional<bool> http11, std::int64_t status,
                              const std::string& description);

    /// The first line, CRLF and the fields; empty without a first line.
    std::string headerText() const override;
    std::shared_ptr<Fields> copy() const override;

private:
    std::optional<std::string> firstLine_;
    mutable std::optional<RequestFirstLine> parsedRequest_;
    mutable std::optional<ResponseFirstLine> parsedResponse_;
};

} // namespace pemtrox
