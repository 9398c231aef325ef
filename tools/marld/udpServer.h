// marld's I/O loop: one IPv4 UDP socket; datagrams are taken in batches and
// handled one at a time, in the order they arrived.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "datagramHandler.h"
#include "eventFormat.h"

namespace marld {

struct Shared; // with the HTTP side, httpServer.h

// Datagrams taken per receive call. Each has a 64 KiB buffer of its own, so
// that no datagram is ever cut; hence the bound. Pages of those buffers are
// touched only as far as datagrams fill them.
inline constexpr int kDefaultReceiveBatch = 32;
inline constexpr int kMaxReceiveBatch = 1024;

// Replies that --reply-delay holds at most; one more is dropped and counted.
inline constexpr std::size_t kMaxDelayedReplies = 4096;
inline constexpr std::chrono::milliseconds kMaxReplyDelay{3'600'000};

struct ServerSettings {
    Endpoint bindTo{0x7F000001, 0};   // host order; port 0: a port of the kernel's choosing
    std::optional<int> receiveBuffer; // SO_RCVBUF
    OutputFormat format = OutputFormat::text;
    int receiveBatch = kDefaultReceiveBatch; // 1 to kMaxReceiveBatch
    bool quiet{};                            // no line per update or query
    std::optional<Endpoint> httpBound;       // where the HTTP side serves, if it does
    TestAids testAids;                       // handed to the handler by serve()
    std::chrono::milliseconds replyDelay{};  // 0: replies go out at once
};

// Failures of the socket calls.
struct IoCounters {
    std::uint64_t receiveErrors{};
    std::uint64_t replyErrors{};
    // --reply-delay: replies sent late, dropped with the queue full, and left
    // waiting at the stop (discarded: sent early, they would not test a delay).
    std::uint64_t repliesDelayed{};
    std::uint64_t delayedRepliesDropped{};
    std::uint64_t delayedRepliesDiscarded{};
};

// What keeps the state beyond the process (the state file): `save` is
// called after the datagrams of a wake were handled once `interval` has
// passed since it was last called, and once more as the loop ends; false,
// with `error` set, is reported on stderr and the loop goes on.
struct StateKeeper {
    std::function<bool(std::string& error)> save;
    std::chrono::milliseconds interval{100};
};

// Binds, prints the listening line (flushed), then hands every datagram to
// `handler` (set up with the settings' test aids), prints what happened and
// sends query replies (at once, or in FIFO order once --reply-delay is over,
// the wait for datagrams never outlasting the next one due), until SIGINT or
// SIGTERM arrives; prints the counters and returns 0. Returns 2 after a
// message on stderr when the socket cannot be set up or bound, and 1 when
// receiving fails for good.
// With `shared`, the loop holds its lock while it handles datagrams or keeps
// the state, publishes its socket there, and prints the HTTP side's line
// (`httpBound`) after the listening line.
[[nodiscard]] int serve(const ServerSettings& settings, DatagramHandler& handler, const StateKeeper* keeper = nullptr,
                        Shared* shared = nullptr);

} // namespace marld
