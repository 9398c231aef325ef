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
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtimeInfo.h"

namespace marld {

using WallClock = std::chrono::system_clock;

struct PointState {
    bool isSet = false;
    // When the point was first updated or last went from set to clear or
    // back; an update that repeats the state leaves it alone.
    WallClock::time_point lastChange{};
    std::uint64_t updateCount = 0;
    // The block of the latest extended update; plain updates keep it. Kept
    // apart, so that a point's entry stays within one cache line.
    std::unique_ptr<const RuntimeInfo> runtimeInfo;
};

struct PointChange {
    bool oldSet;
    bool newSet;
    std::uint64_t updateCount; // including this update
    const PointState* point = nullptr; // as the update left it; valid as find()'s is
};

class PointStore {
public:
    static constexpr std::size_t kDefaultMaxPoints = 65536;

    explicit PointStore(std::size_t maxPoints = kDefaultMaxPoints) : maxPoints_(maxPoints) {}
    ~PointStore();
    PointStore(const PointStore&) = delete;
    PointStore& operator=(const PointStore&) = delete;

    // Null for a point never updated. Valid until the next update or restore.
    [[nodiscard]] const PointState* find(std::string_view name) const noexcept;

    // A hint that `name` is looked up soon: its slot is fetched into the
    // cache meanwhile. Returns the name's hash, which update() may be given
    // so as not to compute it again.
    [[nodiscard]] std::size_t prefetch(std::string_view name) const noexcept;
    // Whether prefetch is worth its cost: the table is larger than caches hold.
    [[nodiscard]] bool prefetchPays() const noexcept { return slotCount() >= kPrefetchFromSlots; }

    // Records an update made at `now`. `runtimeInfo` is given for extended
    // updates only (null for plain ones, which keep the point's block).
    // Nothing when the point is new and the store is full. If an allocation
    // fails, std::bad_alloc leaves the store as it was. `nameHash` is what
    // prefetch(name) returned, or 0.
    [[nodiscard]] std::optional<PointChange> update(std::string_view name, bool set, WallClock::time_point now,
                                                    std::unique_ptr<const RuntimeInfo> runtimeInfo,
                                                    std::size_t nameHash = 0);

    // Puts back a point as it was kept before a restart. False when the
    // store is full or already knows the name. Throws as update() does.
    [[nodiscard]] bool restore(std::string_view name, PointState state);

    [[nodiscard]] std::size_t size() const noexcept { return size_; }

    using Visitor = std::function<void(std::string_view name, const PointState& state)>;

    // From now on, remembers which points updates changed, for takeChanged.
    void trackChanges() noexcept { tracking_ = true; }

    // Visits each point updated since the last call once, in the order of
    // their first update since then, and forgets them. Throws std::bad_alloc
    // from update() (which then changes nothing) when the list cannot grow.
    void takeChanged(const Visitor& visit);

    // The points in slots [from, from + count) of the table, for a reader
    // that visits a large store a part at a time and lets others at it in
    // between: slots move when the table grows, which a change of
    // slotCount() tells; such a reader starts over.
    void forEachInSlots(std::size_t from, std::size_t count, const Visitor& visit) const;
    [[nodiscard]] std::size_t slotCount() const noexcept { return table_.slots == nullptr ? 0 : table_.mask + 1; }

    // How many points are set.
    [[nodiscard]] std::size_t setCount() const noexcept { return setCount_; }

private:
    // 16,384 slots of 64 bytes: a megabyte, about what a core's caches hold.
    static constexpr std::size_t kPrefetchFromSlots = 16384;
    struct Slot;
    struct Table {
        Slot* slots = nullptr;
        std::size_t mask = 0; // slot count - 1; the count is a power of two
        void* memory = nullptr;
    };

    // Where `name`, whose hash is `hash`, is, or the empty slot where it
    // would go.
    [[nodiscard]] static Slot& probe(const Table& table, std::string_view name, std::size_t hash) noexcept;
    // The slot for a new point `name`, the table grown if need be; null when
    // the store is full.
    [[nodiscard]] Slot* insertSlot(std::string_view name, std::size_t hash);
    void grow();

    std::size_t maxPoints_;
    std::size_t size_ = 0;
    std::size_t setCount_ = 0;
    Table table_;
    bool tracking_ = false;
    // Names of the points changed since the last takeChanged, each once
    // (a slot remembers that it is listed).
    std::vector<std::string> changed_;
};

} // namespace marld
