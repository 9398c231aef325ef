// Every count marld keeps, each written once: a row per counter, from which
// the lines printed at the stop, the JSON counters object and /metrics are
// all made, and a row per reason a datagram is dropped for, its value beside
// its name. The alert counts are kept for each Alertmanager, and their rows
// show the sums.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <string>
#include <string_view>
#include <vector>

namespace marld {

// Why a datagram was dropped, in the order the checks run.
enum class DropReason : std::uint8_t {
    senderNotAllowed, shortDatagram, unknownId, lengthMismatch, nameOverrun, trailingBytes,
    invalidName, updateTooLong, invalidRuntimeInfo, storeFull, outOfMemory };

struct DropReasonRow {
    DropReason reason;
    std::string_view name; // stable and lower-case, as every output shows it
};
inline constexpr std::array<DropReasonRow, 11> kDropReasons{{
    {DropReason::senderNotAllowed, "sender-not-allowed"},   // from outside the networks --allow names
    {DropReason::shortDatagram, "short-datagram"},           // fewer bytes than the header or the record
    {DropReason::unknownId, "unknown-id"},                   // not an update, extended update or query
    {DropReason::lengthMismatch, "length-mismatch"},         // header length differs from the bytes received
    {DropReason::nameOverrun, "name-overrun"},               // pointNameLength runs past the end
    {DropReason::trailingBytes, "trailing-bytes"},           // bytes after the name of a plain update or query
    {DropReason::invalidName, "invalid-name"},               // update of a name the service rejects
    {DropReason::updateTooLong, "update-too-long"},          // update over the 646-byte limit
    {DropReason::invalidRuntimeInfo, "invalid-runtime-info"}, // extended update whose block does not decode
    {DropReason::storeFull, "store-full"},                   // update of a new point with the store full
    {DropReason::outOfMemory, "out-of-memory"},              // an allocation failed while it was handled
}};

enum class Count : std::uint8_t {
    received, accepted, updates, queries, dropped, receiveErrors, replyErrors, withheld, replyCoded,
    replyDelayed, replyDelayOverflow, replyDelayDiscarded, alertsSent, alertsFailed, alertsPending, queriesRefused,
    historyLost };

struct CounterRow {
    Count count;
    // In the lines at the stop ("marld: NAME N") and, in camelCase, in JSON;
    // empty for a count shown only through others.
    std::string_view name;
    std::string_view metric; // the family in /metrics (marld_METRIC_total); empty for none
    std::string_view help;
    bool gauge = false; // a count that goes down too
};
inline constexpr std::array<CounterRow, 17> kCounterRows{{
    {Count::received, "received", "datagrams_received", "Datagrams received on the UDP socket."},
    {Count::accepted, "accepted", "datagrams_accepted", "Updates and queries accepted."}, // their sum
    {Count::updates, "updates", "updates", "Updates applied to the points."},
    {Count::queries, "queries", "queries", "Queries answered, by the reply's return code."},
    {Count::dropped, "dropped", "datagrams_dropped", "Datagrams dropped, by reason."}, // the reasons' sum
    {Count::receiveErrors, "receive-errors", "receive_errors", "Receive calls that failed."},
    {Count::replyErrors, "reply-errors", "reply_errors", "Replies that could not be sent."},
    {Count::withheld, "withheld", "updates_withheld", "Updates withheld by --drop-updates."},
    {Count::replyCoded, "reply-coded", "replies_coded", "Queries answered with --reply-code's code."},
    {Count::replyDelayed, "reply-delayed", "replies_delayed", "Replies sent late by --reply-delay."},
    {Count::replyDelayOverflow, "reply-delay-overflow", "reply_delay_overflows", "Replies dropped with --reply-delay's queue full."},
    {Count::replyDelayDiscarded, "reply-delay-discarded", "reply_delay_discarded", "Delayed replies discarded at the stop."},
    {Count::alertsSent, "alerts-sent", "alerts_sent", "Alerts that an Alertmanager took."},
    {Count::alertsFailed, "alerts-failed", "alerts_failed", "Alerts in requests that failed, each try counted."},
    {Count::alertsPending, "alerts-pending", "alerts_pending", "Alerts waiting to be sent or retried.", true},
    {Count::queriesRefused, "", "", ""}, // answered with MARL_MSG_RC_INVALID_POINT_ID
    {Count::historyLost, "", "", ""},    // accepted updates the journal had no memory for
}};

// Whether a count is kept for each Alertmanager (--alertmanager), its row
// showing their sum.
[[nodiscard]] constexpr bool byAlertmanager(Count count) noexcept
{
    return count == Count::alertsSent || count == Count::alertsFailed || count == Count::alertsPending;
}

// Each row sits at its value's place, so that a value finds its row.
template <typename Row, std::size_t size, typename Member>
constexpr bool inPlace(const std::array<Row, size>& rows, Member member)
{
    return std::ranges::all_of(rows, [&](const Row& row) { return &row - rows.data() == std::ptrdiff_t(row.*member); });
}
static_assert(inPlace(kDropReasons, &DropReasonRow::reason) && inPlace(kCounterRows, &CounterRow::count));

[[nodiscard]] constexpr std::string_view dropReasonName(DropReason reason) noexcept
{
    return kDropReasons[static_cast<std::size_t>(reason)].name;
}

class Counters {
public:
    void add(Count count, std::uint64_t by = 1) noexcept { counts_[static_cast<std::size_t>(count)] += by; }
    void set(Count count, std::uint64_t value) noexcept { counts_[static_cast<std::size_t>(count)] = value; }
    void drop(DropReason reason) noexcept { ++dropped_[static_cast<std::size_t>(reason)]; }

    // The Alertmanagers the alert counts are kept for, by URL, in the order
    // of the options; the counts then go by their place in it.
    void countAlertsFor(const std::vector<std::string>& urls)
    {
        for (const std::string& url : urls) {
            alertmanagers_.push_back({url, {}});
        }
    }
    [[nodiscard]] std::size_t alertmanagers() const noexcept { return alertmanagers_.size(); }
    [[nodiscard]] std::string_view alertmanager(std::size_t at) const noexcept { return alertmanagers_[at].url; }
    void add(Count count, std::size_t alertmanager, std::uint64_t by) noexcept
    {
        alertmanagers_[alertmanager].counts[alertPlace(count)] += by;
    }
    void set(Count count, std::size_t alertmanager, std::uint64_t value) noexcept
    {
        alertmanagers_[alertmanager].counts[alertPlace(count)] = value;
    }
    [[nodiscard]] std::uint64_t operator()(Count count, std::size_t alertmanager) const noexcept
    {
        return alertmanagers_[alertmanager].counts[alertPlace(count)];
    }

    [[nodiscard]] std::uint64_t operator[](DropReason reason) const noexcept { return dropped_[std::size_t(reason)]; }
    [[nodiscard]] std::uint64_t operator[](Count count) const noexcept
    {
        if (count == Count::accepted) {
            return (*this)[Count::updates] + (*this)[Count::queries];
        }
        if (byAlertmanager(count)) {
            std::uint64_t sum = 0;
            for (std::size_t at = 0; at < alertmanagers_.size(); ++at) {
                sum += (*this)(count, at);
            }
            return sum;
        }
        return count == Count::dropped ? std::accumulate(dropped_.begin(), dropped_.end(), std::uint64_t{0})
                                       : counts_[static_cast<std::size_t>(count)];
    }

private:
    static_assert(std::size_t(Count::alertsPending) - std::size_t(Count::alertsSent) == 2 && byAlertmanager(Count::alertsFailed));
    struct Alertmanager {
        std::string url;
        std::array<std::uint64_t, 3> counts{}; // sent, failed, pending
    };
    static constexpr std::size_t alertPlace(Count count) noexcept
    {
        return std::size_t(count) - std::size_t(Count::alertsSent);
    }

    std::array<std::uint64_t, kCounterRows.size()> counts_{};
    std::array<std::uint64_t, kDropReasons.size()> dropped_{};
    std::vector<Alertmanager> alertmanagers_;
};

} // namespace marld
