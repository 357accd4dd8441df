#pragma once

// The certificate code's owning handles are the platform's (one deleter, so keys and
// certificates pass between the TLS layers and the certificate code as they are).

#include "platform/OpenSslHandles.h"

namespace pemtrox::crypto {
using namespace pemtrox::openssl;
} // namespace pemtrox::crypto
