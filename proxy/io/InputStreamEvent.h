#pragma once

#include <utility>

#include "platform/Error.h"
#include "proxy/io/Data.h"

namespace pemtrox {

/// One delivery of an input stream: bytes, an error, or the end of the stream.
/// The event owns its bytes; a handler may move them out with takeData().
class InputStreamEvent {
public:
    enum class Kind { data, error, eof };

    static InputStreamEvent data(Data bytes) {
        return InputStreamEvent(Kind::data, std::move(bytes), nullptr);
    }
    static InputStreamEvent error(ErrorPtr error) {
        return InputStreamEvent(Kind::error, {}, std::move(error));
    }
    static InputStreamEvent eof() { return InputStreamEvent(Kind::eof, {}, nullptr); }

    Kind kind() const { return kind_; }
    bool isData() const { return kind_ == Kind::data; }
    bool isError() const { return kind_ == Kind::error; }
    bool isEof() const { return kind_ == Kind::eof; }

    /// The bytes of a data event (empty for the other kinds).
    const Data& data() const { return bytes_; }
    Data& data() { return bytes_; }
    Data takeData() { return std::move(bytes_); }
    /// The error of an error event (null for the other kinds).
    const ErrorPtr& error() const { return error_; }

private:
    InputStreamEvent(Kind kind, Data bytes, ErrorPtr error)
        : kind_(kind), bytes_(std::move(bytes)), error_(std::move(error)) {}
    Kind kind_;
    Data bytes_;
    ErrorPtr error_;
};

} // namespace pemtrox
