// What the service does with one received datagram, without any socket.
//
// The handler checks the datagram against the number of bytes received
// before it reads any field, applies an update to the point store or builds
// the reply to a query, and counts everything. It never throws, not even when
// memory runs out, and leaves the store untouched when it drops a datagram.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "marlmsg.h"
#include "pointNames.h"
#include "pointStore.h"

namespace marld {

// An IPv4 address and port in host order.
struct Endpoint {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
};

// Why a datagram was dropped, in the order the checks run.
enum class DropReason : std::size_t {
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

// Each reason's stable, lower-case name, as the output shows it, in the
// order of the enumeration.
inline constexpr std::array<std::string_view, 10> kDropReasonNames = {
    "short-datagram", "unknown-id",      "length-mismatch",      "name-overrun", "trailing-bytes",
    "invalid-name",   "update-too-long", "invalid-runtime-info", "store-full",   "out-of-memory"};
static_assert(static_cast<std::size_t>(DropReason::outOfMemory) + 1 == kDropReasonNames.size());

[[nodiscard]] inline std::string_view dropReasonName(DropReason reason) noexcept
{
    return kDropReasonNames[static_cast<std::size_t>(reason)];
}

struct UpdateAccepted {
    std::string point;
    bool extended = false;
    PointChange change{};
    std::optional<RuntimeInfo> runtimeInfo; // as decoded, extended updates only
};

struct QueryAnswered {
    std::string point;
    bool pointIsSet = false;
    t_marl_msg_return_code returnCode = MARL_MSG_RC_OK;
    std::vector<std::uint8_t> reply; // to be sent as is
    Endpoint replyTo;                // the query's sender
};

struct Dropped {
    DropReason reason;
    std::optional<std::uint32_t> id; // the header's identifier, if the datagram had a header
};

using Outcome = std::variant<UpdateAccepted, QueryAnswered, Dropped>;

struct Counters {
    std::uint64_t received = 0;
    std::uint64_t updates = 0;
    std::uint64_t queries = 0;
    std::array<std::uint64_t, kDropReasonNames.size()> dropped{};

    [[nodiscard]] std::uint64_t accepted() const noexcept { return updates + queries; }
    [[nodiscard]] std::uint64_t droppedTotal() const noexcept;
};

class DatagramHandler {
public:
    DatagramHandler(PointStore& store, const PointNames& names) : store_(store), names_(names) {}

    // Starts fetching the store's entry of the point that the update at
    // `bytes` names, if it is one. Called for every datagram of a batch
    // before the first is handled, it makes the cache misses of a batch
    // among many points overlap instead of adding up.
    void prefetch(const std::uint8_t* bytes, std::size_t size) const noexcept;

    // Handles the `size` bytes at `bytes`, received from `sender` at `now`.
    [[nodiscard]] Outcome handle(const std::uint8_t* bytes, std::size_t size, Endpoint sender,
                                 WallClock::time_point now);

    [[nodiscard]] const Counters& counters() const noexcept { return counters_; }

private:
    Outcome drop(DropReason reason, std::optional<std::uint32_t> id);
    Outcome handleUpdate(const std::uint8_t* bytes, std::size_t size, std::uint32_t id, WallClock::time_point now);
    Outcome handleQuery(const std::uint8_t* bytes, std::size_t size, Endpoint sender);

    PointStore& store_;
    const PointNames& names_;
    Counters counters_;
};

} // namespace marld
