// What accepted updates changed, in one place. Every accepted update is
// noted here once; its three readers read what changed from here:
//   - the history, each point's first update and every flip of its state
//     since, the last kDepth of them, for the HTTP side;
//   - the batches that the state file writes: every noted update, in order,
//     taken a batch at a time;
//   - the names of the points whose state changed, for the alerts.
// The runtime information is the store's own block, shared, never copied.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "pointStore.h"

namespace marld {

struct StateChange {
    WallClock::time_point at{};
    bool isSet = false;
    std::shared_ptr<const RuntimeInfo> runtimeInfo; // what the point held then; null for none
};

struct JournalEntry {
    std::string name;
    PointState point; // as the update left it
    // The point's change number when the update changed its state (1 for its
    // first update), 0 when it only repeated it.
    std::uint64_t change = 0;
};
using JournalBatch = std::vector<JournalEntry>;

class Journal {
public:
    static constexpr std::size_t kDepth = 32;

    // Points beyond which the journal's table of points is rebuilt as it
    // grows, all at once: below it, room is made at the start.
    static constexpr std::size_t kReservedPoints = std::size_t{1} << 22;

    // What is kept: each point's history, the batch for the state file, the
    // points that changed; room for `maxPoints` points (--max-points) is
    // made at once, up to kReservedPoints, so that no update waits while
    // the table of points is rebuilt.
    Journal(bool keepHistory, bool keepBatch, bool keepChanged = false, std::size_t maxPoints = 0)
        : keepHistory_(keepHistory), keepBatch_(keepBatch), keepChanged_(keepChanged)
    {
        if (keepsAnything()) {
            rings_.reserve(std::min(maxPoints, kReservedPoints));
        }
    }

    [[nodiscard]] bool keepsAnything() const noexcept { return keepHistory_ || keepBatch_ || keepChanged_; }

    // Notes an accepted update of `name` that left it as `point`; `changed`
    // when it was the point's first update or flipped its state. Throws
    // std::bad_alloc, having noted nothing.
    void note(std::string_view name, const PointState& point, bool changed);

    // Puts back a change kept before a restart, with its number.
    void restore(std::string_view name, std::uint64_t change, StateChange state);

    // The point's last changes, oldest first; empty for a point without any.
    [[nodiscard]] std::vector<StateChange> history(std::string_view name) const;

    // The updates noted since the last call, in order.
    [[nodiscard]] JournalBatch takeBatch() noexcept { return std::exchange(batch_, {}); }
    // The names of the points whose state changed since the last call, in
    // the order of their changes (a name for each).
    [[nodiscard]] std::vector<std::string> takeChanged() noexcept { return std::exchange(changed_, {}); }

private:
    // Grows to kDepth only for a point that changes that often.
    struct Ring {
        std::vector<StateChange> changes;
        std::uint64_t count = 0; // changes ever
    };
    Ring& ringOf(std::string_view name);

    bool keepHistory_;
    bool keepBatch_;
    bool keepChanged_;
    std::vector<std::string> changed_;
    // Each point's ring; with the state file but no HTTP side, only its count.
    std::unordered_map<std::string, Ring, NameHash, std::equal_to<>> rings_;
    JournalBatch batch_;
};

} // namespace marld
