// Each point's last state changes: its first update and every flip from
// clear to set or back, with the time and the runtime information the point
// held then. A bounded ring per point, so that a point that flaps cannot
// grow it; the state file keeps it too.
#pragma once

#include <cstddef>
#include <memory>
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
    std::shared_ptr<const RuntimeInfo> runtimeInfo; // null when the point held none
};

class History {
public:
    static constexpr std::size_t kDepth = 32;

    // Appends a change of `name`, the oldest beyond kDepth forgotten.
    // Throws std::bad_alloc.
    void record(std::string_view name, StateChange change);

    // Oldest first; empty for a point without changes.
    [[nodiscard]] std::vector<StateChange> of(std::string_view name) const;

    // Every change recorded since the last call, in order, each with its
    // point's name and its sequence number (1 for a point's first change),
    // for the state file.
    struct Recorded {
        std::string name;
        std::uint64_t sequence;
        StateChange change;
    };
    [[nodiscard]] std::vector<Recorded> takeRecorded() { return std::exchange(recorded_, {}); }
    void trackRecorded() noexcept { tracking_ = true; }

    // Puts back a change kept before a restart, with its sequence number.
    void restore(std::string_view name, std::uint64_t sequence, StateChange change);

private:
    // Grows to kDepth only for a point that changes that often.
    struct Ring {
        std::vector<StateChange> changes;
        std::uint64_t count = 0; // changes ever recorded; change n (from 1) is at changes[(n - 1) % kDepth]
        void put(std::uint64_t sequence, StateChange change);
        // Changes up to this sequence number have fallen out of the ring.
        [[nodiscard]] std::uint64_t firstKept() const noexcept;
    };
    Ring& ringOf(std::string_view name);
    struct NameHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view name) const noexcept { return std::hash<std::string_view>{}(name); }
    };
    std::unordered_map<std::string, Ring, NameHash, std::equal_to<>> rings_;
    bool tracking_ = false;
    std::vector<Recorded> recorded_;
};

} // namespace marld
