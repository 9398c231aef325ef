// The state of every point the service has been told about.
//
// A point that was never updated does not exist here and reads as clear.
// The store holds at most a fixed number of points (marld's --max-points,
// 65,536 unless told otherwise), so that a flood of distinct names cannot
// exhaust the service's memory; an update of a new point beyond that is
// refused.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "runtimeInfo.h"

namespace marld {

using WallClock = std::chrono::system_clock;

struct PointState {
    bool isSet = false;
    // When the point was first updated or last went from set to clear or
    // back; an update that repeats the state leaves it alone.
    WallClock::time_point lastChange{};
    std::uint64_t updateCount = 0;
    // The block of the latest extended update; plain updates keep it.
    std::optional<RuntimeInfo> runtimeInfo;
};

struct PointChange {
    bool oldSet;
    bool newSet;
    std::uint64_t updateCount; // including this update
};

class PointStore {
public:
    static constexpr std::size_t kDefaultMaxPoints = 65536;

    explicit PointStore(std::size_t maxPoints = kDefaultMaxPoints) : maxPoints_(maxPoints) {}

    // Null for a point never updated.
    [[nodiscard]] const PointState* find(std::string_view name) const;

    // Records an update made at `now`. `runtimeInfo` is given for extended
    // updates only. Nothing when the point is new and the store is full. If
    // an allocation fails, std::bad_alloc leaves the store as it was.
    [[nodiscard]] std::optional<PointChange> update(std::string_view name, bool set, WallClock::time_point now,
                                                    std::optional<RuntimeInfo> runtimeInfo);

    [[nodiscard]] std::size_t size() const noexcept { return points_.size(); }

private:
    // Looked up by the datagram's bytes, without making a string of them.
    struct NameHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view name) const noexcept { return std::hash<std::string_view>{}(name); }
    };
    std::size_t maxPoints_;
    // Hashed, so that an update costs the same among a million points as
    // among a thousand.
    std::unordered_map<std::string, PointState, NameHash, std::equal_to<>> points_;
};

} // namespace marld
