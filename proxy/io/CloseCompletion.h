#pragma once

#include <functional>

#include "platform/Error.h"

namespace pemtrox {

/// Runs when a stream's close has finished, with the error the close was asked with
/// (null for a clean close). Input and output streams share it, so a stream that is
/// both (the pipe) has one close for both sides.
using CloseCompletion = std::function<void(ErrorPtr)>;

} // namespace pemtrox
