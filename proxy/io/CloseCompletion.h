#pragma once

#include <functional>

#include "platform/Error.h"

namespace pemtrox {

/// Runs when a stream's close has finished, with the error the close was asked with
/// (null for a clean close). Input and output streams share it, so a stream that is
/// both (the pipe) has one close for both sides.
using CloseCompletion = std::function<void(ErrorPtr)>;

/// Calls the completion, when there is one.
inline void completeClose(const CloseCompletion& completion, ErrorPtr error) {
    if (completion)
        completion(std::move(error));
}

/// The completion a stream hands its close work: the work may always call it, and it
/// answers the caller's completion (when there is one) with the caller's error, whatever
/// end the work delivers.
inline CloseCompletion answeringWith(ErrorPtr error, CloseCompletion completion) {
    return [error = std::move(error), completion = std::move(completion)](ErrorPtr) {
        completeClose(completion, error);
    };
}

} // namespace pemtrox
