/* The stack's index of its active and TIME-WAIT connections by addresses and ports; the
 * stack itself adds, removes and looks up (lwip/priv/tcp_priv.h declares those calls). */
#ifndef PEMTROX_PCBINDEX_H
#define PEMTROX_PCBINDEX_H

#include <cstddef>

/// How many connections the index holds: always as many as the active and TIME-WAIT lists.
std::size_t tcp_pcb_index_size();

#endif
