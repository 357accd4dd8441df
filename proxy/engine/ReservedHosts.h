#pragma once

#include <string_view>

namespace pemtrox {

/// Host names of the built-in TLS test, compared as whole texts with case. The short one
/// is answered in process; the long one is always intercepted. Neither is recorded.
inline constexpr std::string_view SSLTestHost = "tls-test.pemtrox";
inline constexpr std::string_view SSLTestHostLong = "tls-test-long.pemtrox.app";

} // namespace pemtrox
