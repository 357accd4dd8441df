#pragma once

#include <cstddef>
#include <string_view>

namespace pemtrox {

/// The longest name the system keeps for a thread, in bytes (16 with the terminating NUL).
inline constexpr std::size_t threadNameLength = 15;

/// Names the calling thread, as `top -H`, `perf`, `gdb` and /proc show it, after its queue or
/// job (our names are ASCII); a longer name is cut to `threadNameLength` bytes, which the
/// system would otherwise refuse whole.
void nameCurrentThread(std::string_view name);

} // namespace pemtrox
