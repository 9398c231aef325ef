// marld's I/O loop: one IPv4 UDP socket; datagrams are taken in batches and
// handled one at a time, in the order they arrived.
#pragma once

#include <cstdint>
#include <optional>

#include "datagramHandler.h"
#include "eventFormat.h"

namespace marld {

struct ServerSettings {
    Endpoint bindTo;                  // port 0: a port of the kernel's choosing
    std::optional<int> receiveBuffer; // SO_RCVBUF
    OutputFormat format = OutputFormat::text;
    int receiveBatch = 1; // datagrams per receive call, 1 to kMaxReceiveBatch
    bool quiet = false;   // no line per update or query
};

// Binds, prints the listening line (flushed), then hands every datagram to
// `handler`, prints what happened, sends query replies, until SIGINT or
// SIGTERM arrives; prints the counters and returns 0. Returns 2 after a
// message on stderr when the socket cannot be set up or bound, and 1 when
// waiting for datagrams fails.
[[nodiscard]] int serve(const ServerSettings& settings, DatagramHandler& handler);

} // namespace marld
