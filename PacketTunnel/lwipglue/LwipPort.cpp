// The stack's port: clock, protection lock, random numbers and diagnostics.

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include <fmt/format.h>

#include "lwip/arch.h"
#include "lwip/sys.h"
#include "platform/Log.h"

namespace {

// A recursive lock built from a plain mutex: the owner is atomic because other threads
// read it to learn whether they hold the lock, while only the owner changes it.
std::mutex protectionMutex;
std::atomic<std::thread::id> protectionOwner{};
std::uint32_t protectionDepth = 0;

} // namespace

extern "C" {

u32_t sys_now(void) {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    // Truncated to 32 bits: the stack compares times by difference, so wrapping is fine.
    return static_cast<u32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

sys_prot_t sys_arch_protect(void) {
    auto self = std::this_thread::get_id();
    if (protectionOwner.load(std::memory_order_relaxed) != self) {
        protectionMutex.lock();
        protectionOwner.store(self, std::memory_order_relaxed);
        protectionDepth = 1;
    } else {
        ++protectionDepth;
    }
    return 0;
}

void sys_arch_unprotect(sys_prot_t) {
    if (protectionOwner.load(std::memory_order_relaxed) != std::this_thread::get_id())
        return;
    if (--protectionDepth == 0) {
        protectionOwner.store(std::thread::id{}, std::memory_order_relaxed);
        protectionMutex.unlock();
    }
}

int lwip_port_rand(void) {
    return std::rand();
}

int lwip_port_log_enabled(void) {
    return pemtrox::Log::enabled(pemtrox::LogFlag::verbose) ? 1 : 0;
}

void lwiplog(const char* format, ...) {
    if (!lwip_port_log_enabled())
        return;
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0)
        std::vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);
    // The stack ends most messages with a line feed; the logger ends lines itself.
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    pemtrox::Log::log(pemtrox::LogFlag::verbose, __FILE__, __func__, __LINE__, "LWIP: " + text);
}

void lwip_port_assert(const char* message, int line, const char* file) {
    pemtrox::fatalError(fmt::format("Assertion \"{}\" failed at line {} in {}", message, line, file));
}

} // extern "C"
