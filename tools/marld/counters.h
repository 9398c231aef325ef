// Every count marld keeps, each written once: a row per counter, from which
// the lines printed at the stop, the JSON counters object and /metrics are
// all made, and a row per reason a datagram is dropped for.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <string_view>

namespace marld {

// Why a datagram was dropped, in the order the checks run.
enum class DropReason : std::uint8_t {
    shortDatagram,      // fewer bytes than the header or the record
    unknownId,          // not an update, extended update or query
    lengthMismatch,     // header length differs from the bytes received
    nameOverrun,        // pointNameLength runs past the end
    trailingBytes,      // bytes after the name of a plain update or query
    invalidName,        // update of a name the service rejects
    updateTooLong,      // update over the 646-byte limit
    invalidRuntimeInfo, // extended update whose block does not decode
    storeFull,          // update of a new point with the store full
    outOfMemory,        // an allocation failed while the datagram was handled
};

struct DropReasonRow {
    DropReason reason;
    std::string_view name; // stable and lower-case, as every output shows it
};
inline constexpr std::array kDropReasons{
    DropReasonRow{DropReason::shortDatagram, "short-datagram"},
    DropReasonRow{DropReason::unknownId, "unknown-id"},
    DropReasonRow{DropReason::lengthMismatch, "length-mismatch"},
    DropReasonRow{DropReason::nameOverrun, "name-overrun"},
    DropReasonRow{DropReason::trailingBytes, "trailing-bytes"},
    DropReasonRow{DropReason::invalidName, "invalid-name"},
    DropReasonRow{DropReason::updateTooLong, "update-too-long"},
    DropReasonRow{DropReason::invalidRuntimeInfo, "invalid-runtime-info"},
    DropReasonRow{DropReason::storeFull, "store-full"},
    DropReasonRow{DropReason::outOfMemory, "out-of-memory"},
};
static_assert(std::ranges::all_of(kDropReasons, [](const DropReasonRow& row) {
    return &row - kDropReasons.data() == static_cast<std::ptrdiff_t>(row.reason);
}));

[[nodiscard]] constexpr std::string_view dropReasonName(DropReason reason) noexcept
{
    return kDropReasons[static_cast<std::size_t>(reason)].name;
}

enum class Count : std::uint8_t {
    received,
    accepted, // updates and queries, summed when shown
    updates,
    queries,
    dropped, // by reason, summed when shown
    receiveErrors,
    replyErrors,
    withheld,
    replyCoded,
    replyDelayed,
    replyDelayOverflow,
    replyDelayDiscarded,
    queriesRefused, // answered with MARL_MSG_RC_INVALID_POINT_ID
    historyLost,    // accepted updates the journal had no memory for
};

struct CounterRow {
    Count count;
    // In the lines at the stop ("marld: NAME N"), and in JSON as camelCase;
    // empty for a count that is only shown through others.
    std::string_view name;
    // The family in /metrics (marld_METRIC_total), or empty for none.
    std::string_view metric;
    std::string_view help;
};
inline constexpr std::array kCounterRows{
    CounterRow{Count::received, "received", "datagrams_received", "Datagrams received on the UDP socket."},
    CounterRow{Count::accepted, "accepted", "datagrams_accepted", "Updates and queries accepted."},
    CounterRow{Count::updates, "updates", "updates", "Updates applied to the points."},
    CounterRow{Count::queries, "queries", "queries", "Queries answered, by the reply's return code."},
    CounterRow{Count::dropped, "dropped", "datagrams_dropped", "Datagrams dropped, by reason."},
    CounterRow{Count::receiveErrors, "receive-errors", "receive_errors", "Receive calls that failed."},
    CounterRow{Count::replyErrors, "reply-errors", "reply_errors", "Replies that could not be sent."},
    CounterRow{Count::withheld, "withheld", "updates_withheld", "Updates withheld by --drop-updates."},
    CounterRow{Count::replyCoded, "reply-coded", "replies_coded", "Queries answered with --reply-code's code."},
    CounterRow{Count::replyDelayed, "reply-delayed", "replies_delayed", "Replies sent late by --reply-delay."},
    CounterRow{Count::replyDelayOverflow, "reply-delay-overflow", "reply_delay_overflows",
               "Replies dropped with --reply-delay's queue full."},
    CounterRow{Count::replyDelayDiscarded, "reply-delay-discarded", "reply_delay_discarded",
               "Delayed replies discarded at the stop."},
    CounterRow{Count::queriesRefused, "", "", ""},
    CounterRow{Count::historyLost, "", "", ""},
};
static_assert(std::ranges::all_of(kCounterRows, [](const CounterRow& row) {
    return &row - kCounterRows.data() == static_cast<std::ptrdiff_t>(row.count);
}));

class Counters {
public:
    void add(Count count, std::uint64_t by = 1) noexcept { counts_[static_cast<std::size_t>(count)] += by; }
    void drop(DropReason reason) noexcept { ++dropped_[static_cast<std::size_t>(reason)]; }

    [[nodiscard]] std::uint64_t operator[](Count count) const noexcept
    {
        switch (count) {
        case Count::accepted:
            return (*this)[Count::updates] + (*this)[Count::queries];
        case Count::dropped:
            return std::accumulate(dropped_.begin(), dropped_.end(), std::uint64_t{0});
        default:
            return counts_[static_cast<std::size_t>(count)];
        }
    }
    [[nodiscard]] std::uint64_t operator[](DropReason reason) const noexcept
    {
        return dropped_[static_cast<std::size_t>(reason)];
    }

private:
    std::array<std::uint64_t, kCounterRows.size()> counts_{};
    std::array<std::uint64_t, kDropReasons.size()> dropped_{};
};

} // namespace marld
