// marld's service: one thread, one loop (eventLoop.h). Datagrams are taken
// in batches and handled one at a time, in the order they arrived; between
// batches the loop sends replies that --reply-delay held back, hands what
// changed to the state file's writer, reports suppressed lines and serves
// HTTP, each at its own timer or descriptor.
#pragma once

#include <cstdint>

#include "journal.h"
#include "options.h"
#include "pointNames.h"
#include "pointStore.h"

namespace marld {

class StateWriter;

// Binds to `bindTo` unless systemd passed a socket (`passed`, or -1), prints
// the listening line (flushed) and, with --http, the HTTP side's, tells
// systemd it is ready, then serves until `stopSignals` (a signalfd) becomes
// readable;
// prints the counters and returns 0. Returns 2 after a message on stderr
// when the socket or the HTTP side cannot be set up, and 1 when waiting or
// receiving fails for good. `writer`, with --state, takes the journal's
// batches.
[[nodiscard]] int serve(const Options& options, int passed, Endpoint bindTo, int stopSignals, const PointNames& names,
                        PointStore& store, Journal& journal, StateWriter* writer);

} // namespace marld
