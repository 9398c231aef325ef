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
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "marlmsg.h"
#include "history.h"
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

// An outcome's names are views of the datagram's bytes, and its reply and
// runtime information are the handler's own: handling a plain update or a
// query allocates nothing that the store does not keep, and an outcome is
// small. They hold until the next datagram is handled.
struct UpdateAccepted {
    std::string_view point;
    bool extended = false;
    PointChange change{};
    const RuntimeInfo* runtimeInfo = nullptr; // as decoded, extended updates only
};

// An acceptable update that --drop-updates withheld from the store.
struct UpdateWithheld {
    std::string_view point;
    bool set = false;
};

struct QueryAnswered {
    std::string_view point;
    bool pointIsSet = false;
    // Any 32-bit value with --reply-code, which the enumeration cannot hold.
    std::uint32_t returnCode = MARL_MSG_RC_OK;
    std::span<const std::uint8_t> reply; // to be sent as is
    Endpoint replyTo;                    // the query's sender
};

struct Dropped {
    DropReason reason;
    std::optional<std::uint32_t> id; // the header's identifier, if the datagram had a header
};

using Outcome = std::variant<UpdateAccepted, QueryAnswered, Dropped, UpdateWithheld>;

struct Counters {
    std::uint64_t received = 0;
    std::uint64_t updates = 0;
    std::uint64_t queries = 0;
    std::array<std::uint64_t, kDropReasonNames.size()> dropped{};
    std::uint64_t updatesWithheld = 0; // --drop-updates; neither accepted nor dropped
    std::uint64_t repliesCoded = 0;    // queries answered with --reply-code's code
    std::uint64_t queriesRefused = 0;  // answered with MARL_MSG_RC_INVALID_POINT_ID
    std::uint64_t historyLost = 0;     // state changes the history had no memory for

    [[nodiscard]] std::uint64_t accepted() const noexcept { return updates + queries; }
    [[nodiscard]] std::uint64_t droppedTotal() const noexcept;
};

// Aids for testing an application's own handling of a lossy or odd service;
// all off by default.
struct TestAids {
    double dropUpdates = 0;                 // the fraction of acceptable updates withheld, 0 to 1
    std::uint64_t seed = 1;                 // of the draws that pick them
    std::optional<std::uint32_t> replyCode; // the return code of every reply
};

// splitmix64: small and fully defined by its seed, so that one seed and one
// sequence of updates withhold the same updates on every machine.
class SeededDraws {
public:
    explicit SeededDraws(std::uint64_t seed) noexcept : state_(seed) {}

    // Uniform in [0, 1), in steps of 2^-53: below 1 always, below 0 never.
    [[nodiscard]] double next() noexcept
    {
        std::uint64_t z = state_ += 0x9E3779B97F4A7C15ULL;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return static_cast<double>((z ^ (z >> 31)) >> 11) * 0x1.0p-53;
    }

private:
    std::uint64_t state_;
};

class DatagramHandler {
public:
    DatagramHandler(PointStore& store, const PointNames& names) : store_(store), names_(names) {}

    // From now on, records each point's first update and every flip of its
    // state in `history`.
    void keepHistory(History& history) noexcept { history_ = &history; }

    // Starts fetching the store's entry of the point that the update at
    // `bytes` names, if it is one, so that the cache misses of a batch among
    // many points overlap instead of adding up (see handlePrefetched).
    // Returns the name's hash for handle(), 0 when it fetched nothing.
    [[nodiscard]] std::size_t prefetch(const std::uint8_t* bytes, std::size_t size) const noexcept;

    [[nodiscard]] const TestAids& testAids() const noexcept { return aids_; }

    // Restarts the draws from the aids' seed.
    void setTestAids(const TestAids& aids) noexcept
    {
        aids_ = aids;
        draws_ = SeededDraws(aids.seed);
    }

    // Handles the `size` bytes at `bytes`, received from `sender` at `now`.
    // `nameHash`: what prefetch() returned for these bytes, or 0.
    [[nodiscard]] Outcome handle(const std::uint8_t* bytes, std::size_t size, Endpoint sender,
                                 WallClock::time_point now, std::size_t nameHash = 0);

    [[nodiscard]] const Counters& counters() const noexcept { return counters_; }

private:
    Outcome drop(DropReason reason, std::optional<std::uint32_t> id);
    Outcome handleUpdate(const std::uint8_t* bytes, std::size_t size, std::uint32_t id, WallClock::time_point now,
                         std::size_t nameHash);
    Outcome handleQuery(const std::uint8_t* bytes, std::size_t size, Endpoint sender);

    void recordChange(std::string_view name, const PointState& point, WallClock::time_point now) noexcept;

    PointStore& store_;
    History* history_ = nullptr;
    const PointNames& names_;
    Counters counters_;
    TestAids aids_;
    SeededDraws draws_{aids_.seed};
    // The latest reply, which keeps its capacity from one query to the next.
    std::vector<std::uint8_t> reply_;
};

// Hands the `count` datagrams of a batch to `handle(i, nameHash)` in order,
// each one's point fetched kPrefetchAhead datagrams before its turn: far
// enough ahead for the fetch to arrive, near enough that the fetches in
// flight do not exceed what the core can track and stall it.
// `datagramAt(i)` gives datagram i's bytes and size.
inline constexpr std::size_t kPrefetchAhead = 8;

template <typename DatagramAt, typename Handle>
void handlePrefetched(const DatagramHandler& handler, std::size_t count, DatagramAt datagramAt, Handle handle)
{
    std::array<std::size_t, kPrefetchAhead> hashes{}; // datagram i's at i % kPrefetchAhead
    const auto fetch = [&](std::size_t i) {
        const auto [bytes, size] = datagramAt(i);
        hashes[i % kPrefetchAhead] = handler.prefetch(bytes, size);
    };
    for (std::size_t i = 0; i < count && i < kPrefetchAhead; ++i) {
        fetch(i);
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t nameHash = hashes[i % kPrefetchAhead];
        if (i + kPrefetchAhead < count) {
            fetch(i + kPrefetchAhead);
        }
        handle(i, nameHash);
    }
}

} // namespace marld
