#pragma once

#include <functional>

#include "platform/Error.h"

namespace pemtrox {

/// The completion value of a write.
/// - `ready`: the bytes were taken and the stream can take more now.
/// - `wait`: the bytes were taken but the stream is over its limit; this completion was
///   released early because the writer wrote again. Hold back until a later `ready`.
/// - `error`: the bytes were not written (or the stream ended before it drained).
class OutputStreamWriteHandlerResult {
public:
    enum class Kind { error, ready, wait };

    static OutputStreamWriteHandlerResult error(ErrorPtr error) { return {Kind::error, std::move(error)}; }
    static OutputStreamWriteHandlerResult ready() { return {Kind::ready, nullptr}; }
    static OutputStreamWriteHandlerResult wait() { return {Kind::wait, nullptr}; }

    Kind kind() const { return kind_; }
    bool isError() const { return kind_ == Kind::error; }
    bool isReady() const { return kind_ == Kind::ready; }
    bool isWait() const { return kind_ == Kind::wait; }
    /// The error of an error result, else null.
    const ErrorPtr& error() const { return error_; }

private:
    OutputStreamWriteHandlerResult(Kind kind, ErrorPtr error) : kind_(kind), error_(std::move(error)) {}
    Kind kind_;
    ErrorPtr error_;
};

/// Called exactly once per write with its outcome.
using OutputStreamWriteCompletion = std::function<void(OutputStreamWriteHandlerResult)>;

} // namespace pemtrox
