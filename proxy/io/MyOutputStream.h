#pragma once

#include "proxy/io/CloseCompletion.h"
#include "proxy/io/Data.h"
#include "proxy/io/OutputStreamWriteHandlerResult.h"

namespace pemtrox {

/// The callback output stream every byte of the system is written through.
///
/// Contract:
/// - write() takes the bytes (moved in; the stream owns them from then on) and calls the
///   completion exactly once when the outcome is known: `ready` at once when the stream is
///   below its limit, later when it was over it, `wait` when a newer write released it
///   early, `error` when the bytes were not written (e.g. the stream is closed) or the
///   stream closed while the completion was held back. A completion may run inside the
///   write call.
/// - A writer writes again only after the previous completion ran (`wait` included).
/// - Everything runs on the queue that owns the stream; nothing is locked.
/// - close() closes once; its completion runs exactly once per call, also when the stream
///   was already closed, with the error passed to that call.
/// - Captures follow the one rule written at MyInputStream.
class MyOutputStream {
public:
    virtual ~MyOutputStream() = default;

    virtual void write(Data data, bool flush, OutputStreamWriteCompletion completion) = 0;
    virtual bool isClosed() const = 0;
    virtual void close(ErrorPtr error = nullptr, CloseCompletion completion = nullptr) = 0;
    /// Asks the stream to push out what it holds.
    virtual void flush() = 0;
};

} // namespace pemtrox
