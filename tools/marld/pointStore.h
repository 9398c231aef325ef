// The state of every point the service has been told about.
//
// A point that was never updated does not exist here and reads as clear.
// The store holds at most a fixed number of points (marld's --max-points,
// 65,536 unless told otherwise), so that a flood of distinct names cannot
// exhaust the service's memory; an update of a new point beyond that is
// refused. Points are never removed, so each keeps the place it was given
// when it came: readers that visit every point a part at a time (the HTTP
// side) resume by that place, however the table grew meanwhile. The table
// grows a few slots per new point, never all at once, so that no update
// waits for a whole table to be built or moved.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "runtimeInfo.h"

namespace marld {

using WallClock = std::chrono::system_clock;

// The members run from the largest to the smallest, so that the store's slot
// can put its own small fields in the bytes after the flags.
struct PointState {
    // The block of the latest extended update; plain updates keep it. Shared
    // with the history and the state file's batches, never copied.
    std::shared_ptr<const RuntimeInfo> runtimeInfo;
    // When the point was first updated or last went from set to clear or
    // back; an update that repeats the state leaves it alone.
    WallClock::time_point lastChange{};
    std::uint64_t updateCount = 0;
    bool isSet = false;
    // Whether runtimeInfo came with the latest update; false when a plain
    // update since kept an earlier block, or when there is none.
    bool runtimeInfoFromLastUpdate = false;
};

struct PointChange {
    bool oldSet;
    bool newSet;
    std::uint64_t updateCount;     // including this update
    const PointState* point = nullptr; // as the update left it; valid as find()'s is
};

// The store's hash of a name: the standard library's, whose low bits pick
// the slot and whose high ones make the tag.
[[nodiscard]] inline std::size_t nameHash(std::string_view name) noexcept
{
    return std::hash<std::string_view>{}(name);
}

// nameHash for the standard containers, so that they look a name up by a view
// of it, without a copy.
struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const noexcept { return nameHash(name); }
};

class PointStore {
public:
    static constexpr std::size_t kDefaultMaxPoints = 65536;

    // Points a store makes room for at once, at most (reserve()): 128 MiB of
    // table on a 64-bit machine.
    static constexpr std::size_t kReservedPoints = std::size_t{1} << 20;

    explicit PointStore(std::size_t maxPoints = kDefaultMaxPoints) : maxPoints_(maxPoints) {}
    ~PointStore();
    PointStore(const PointStore&) = delete;
    PointStore& operator=(const PointStore&) = delete;

    // The names that the next updates and look-ups will ask for, in order,
    // as views of the batch's datagrams: each one's slot is fetched a few
    // names before its turn, so that a batch's cache misses among many points
    // overlap instead of adding up. Names that are never asked for are passed
    // over. Does nothing while the table fits the caches.
    void expect(std::span<const std::string_view> names) noexcept;

    // Null for a point never updated. Valid until the next update or restore.
    [[nodiscard]] const PointState* find(std::string_view name) noexcept;

    // Records an update made at `now`. `runtimeInfo` is given for extended
    // updates only (null for plain ones, which keep the point's block).
    // Nothing when the point is new and the store is full. If an allocation
    // fails, std::bad_alloc leaves the store as it was.
    [[nodiscard]] std::optional<PointChange> update(std::string_view name, bool set, WallClock::time_point now,
                                                    std::shared_ptr<const RuntimeInfo> runtimeInfo);

    // Puts back a point as it was kept before a restart. False when the
    // store is full or already knows the name. Throws as update() does.
    [[nodiscard]] bool restore(std::string_view name, PointState state);

    // Before the first point: makes room at once for as many points as it
    // may hold, up to kReservedPoints, so that the table never grows while
    // points come, on huge pages where the system has them (their first
    // touch, here, zeroes 2 MiB at a time). False when there is no memory.
    [[nodiscard]] bool reserve() noexcept;

    [[nodiscard]] std::size_t size() const noexcept { return order_.size(); }
    // How many points are set.
    [[nodiscard]] std::size_t setCount() const noexcept { return setCount_; }

    // The point that came `place`-th (from 0, below size()).
    [[nodiscard]] std::pair<std::string_view, const PointState&> at(std::size_t place) const noexcept;

private:
    struct Slot;
    struct Table {
        Slot* slots = nullptr;
        std::size_t mask = 0; // slot count - 1; the count is a power of two
        void* memory = nullptr;
    };
    struct Expected {
        const char* name; // the view's bytes: the datagram's, so unique in a batch
        std::size_t hash;
    };

    // The hash of `name`, taken from what expect() computed when `name` is
    // the view it was given; the slots of later names are fetched meanwhile.
    [[nodiscard]] std::size_t hashFor(std::string_view name) noexcept;
    // Where `name`, whose hash is `hash`, is, or the empty slot where it
    // would go; null before the first point.
    [[nodiscard]] static Slot* lookUp(const Table& table, std::string_view name, std::size_t hash) noexcept;
    // The slot of a known point, in either table; null for a new one.
    [[nodiscard]] Slot* known(std::string_view name, std::size_t hash) const noexcept;
    static void release(const Table& table) noexcept;
    // Room for `count` slots, not yet built.
    [[nodiscard]] static Table allocate(std::size_t count);
    // The slot for a new point `name`, after a step of the table's growth;
    // null when the store is full.
    [[nodiscard]] Slot* insertSlot(std::string_view name, std::size_t hash);
    // A few slots of the next table built, or a few points moved to it.
    void growStep();
    // Moves up to `count` points of the old table to the new one.
    void moveOld(std::size_t count) noexcept;
    void prefetch(std::size_t hash) const noexcept;

    std::size_t maxPoints_;
    std::size_t setCount_ = 0;
    // The table grows a step per new point (growStep): while building_ is built,
    // its first built_ slots; then, while the points move from old_ to
    // table_, those from place drained_ up to oldCount_ are still in old_.
    Table table_;
    Table building_;
    std::size_t built_ = 0;
    Table old_;
    std::size_t drained_ = 0;
    std::size_t oldCount_ = 0;
    std::deque<std::uint32_t> order_; // each point's slot, in the order the points came; grows without copying
    std::vector<Expected> expected_;   // the batch's names not yet asked for, from next_ on
    std::size_t next_ = 0;
};

} // namespace marld
