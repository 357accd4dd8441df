#include "proxy/engine/HeadParser.h"

#include "proxy/engine/FieldsError.h"

namespace pemtrox {

bool HeadParser::addLine(std::string_view line) {
    return head_->addLine(line);
}

std::optional<std::size_t> HeadParser::put(std::string_view bytes) {
    std::size_t pos = 0;
    if (!partial_.empty()) {
        // Finish the line cut by the previous piece.
        std::size_t end;
        if (partial_.back() == '\r' && !bytes.empty() && bytes[0] == '\n') {
            end = 1;
        } else {
            auto crlf = bytes.find("\r\n");
            end = crlf == std::string_view::npos ? std::string_view::npos : crlf + 2;
        }
        if (end == std::string_view::npos) {
            partial_.append(bytes);
            if (partial_.size() > Fields::maxLineLength + 1)
                throw FieldsError::lineTooLong(Fields::maxLineLength);
            return std::nullopt;
        }
        partial_.append(bytes.substr(0, end));
        pos = end;
        std::string line = std::move(partial_);
        partial_.clear();
        if (addLine(line))
            return pos;
    }
    while (pos < bytes.size()) {
        auto crlf = bytes.find("\r\n", pos);
        if (crlf == std::string_view::npos) {
            if (bytes.size() - pos > Fields::maxLineLength + 1)
                throw FieldsError::lineTooLong(Fields::maxLineLength);
            partial_.assign(bytes.substr(pos));
            return std::nullopt;
        }
        auto end = crlf + 2;
        if (addLine(bytes.substr(pos, end - pos)))
            return end;
        pos = end;
    }
    return std::nullopt;
}

} // namespace pemtrox
