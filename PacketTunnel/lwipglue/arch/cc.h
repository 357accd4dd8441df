/* Compiler and platform definitions of the stack's port (see LwipPort.cpp). */
#ifndef PEMTROX_ARCH_CC_H
#define PEMTROX_ARCH_CC_H

#include <stdint.h>
#include <stdlib.h>

#ifdef __cplusplus
extern "C" {
#endif

/* With NO_SYS the stack never includes sys_arch.h, so the protection value lives here. */
typedef int sys_prot_t;

int lwip_port_rand(void);
/* Whether a diagnostic line would be logged; tested before anything is formatted. */
int lwip_port_log_enabled(void);
/* Logs one diagnostic line ("LWIP: " and the formatted text). */
void lwiplog(const char *format, ...) __attribute__((format(printf, 1, 2)));
/* Logs the failed assertion, flushes the log and aborts. */
void lwip_port_assert(const char *message, int line, const char *file) __attribute__((noreturn));

#ifdef __cplusplus
}
#endif

#define LWIP_PLATFORM_DIAG(x)                                                                            \
    do {                                                                                                 \
        if (lwip_port_log_enabled()) {                                                                   \
            lwiplog x;                                                                                   \
        }                                                                                                \
    } while (0)
#define LWIP_PLATFORM_ASSERT(x) lwip_port_assert((x), __LINE__, __FILE__)

#endif
