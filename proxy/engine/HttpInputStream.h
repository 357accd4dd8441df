#pragma once

#include <functional>
#include <memory>

#include "proxy/engine/HttpFields.h"
#include "proxy/io/PushbackInputStream.h"
#include "proxy/io/Result.h"

namespace pemtrox {

/// The stream through which the engine reads message heads. A head is read in pieces of
/// whatever size the parent delivers; the bytes after it (a body, the next message) are
/// given back, so the next reader finds them in the stream.
class HttpInputStream : public PushbackInputStream {
public:
    using HeaderCompletion = std::function<void(Result<std::shared_ptr<HttpFields>>)>;

    static std::shared_ptr<HttpInputStream> make(std::shared_ptr<MyInputStream> parent);
    using PushbackInputStream::PushbackInputStream;

    /// Reads one message head. The completion runs once: with the head, with its
    /// FieldsError (including the head limits), with the stream's error, or with
    /// InputStreamError::eof when the stream ends first, also mid-head. The owner keeps
    /// the stream alive until then.
    void readHeader(HeaderCompletion completion);
    /// Drops bare CRLF lines that a peer may send between messages, then gives the
    /// following bytes back. The completion gets the stream's error, or null (also at the
    /// end of the stream).
    void readBodyHandler(std::function<void(ErrorPtr)> completion);
};

} // namespace pemtrox
