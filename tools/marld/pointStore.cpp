#include "pointStore.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <memory>
#include <utility>


namespace marld {

namespace {

constexpr std::size_t kFirstSlotCount = 64;
constexpr std::size_t kCacheLine = 64;
constexpr std::size_t kMaxNameSize = 0xFFFF;

// How many slots, from a name's first, are fetched for it: at the load the
// table keeps, a probe goes past its first slot in one look-up of four, and
// past its fourth in one of thirty. Fetching fewer left a quarter of the
// cost of a miss on every update among a million points.
constexpr std::size_t kPrefetchedSlots = 4;
// How many names ahead of its turn a name's slots are fetched: far enough
// for the fetch to arrive, near enough that the fetches in flight do not
// exceed what the core tracks (fetching a whole batch of 32 first stalled it).
constexpr std::size_t kPrefetchAhead = 8;
// 16,384 slots of 64 bytes: a megabyte, about what a core's caches hold.
// Below that nothing is fetched ahead: hashing each name on its own costs less.
constexpr std::size_t kPrefetchFromSlots = 16384;

// Names up to this size live in the slot itself; longer ones on the heap.
constexpr std::size_t kInlineName = 24;

// The tag of a slot whose point moved to the next table: it ends no probe
// and matches no name (a point's tag has its top bit set).
constexpr std::uint32_t kMovedTag = 1;

// The work of growing the table, spread over the new points that make it
// grow, so that no update waits for a whole table to be built or moved:
// slots of the next table built, and points moved to it, per new point.
// Building starts at half full and must end by three quarters (a quarter of
// the slots' count of new points for twice the slots); moving, three
// quarters of the slots' count of points, must end before the next table
// starts at half its size full (another quarter).
constexpr std::size_t kBuiltPerPoint = 16;
constexpr std::size_t kPageSize = 4096;
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kSlotsPerChunk = 1024; // a multiple of kBuiltPerPoint
constexpr std::size_t kMovedPerPoint = 4;

// A slot's check before its name is compared: never 0, which marks an
// empty slot. The slot's position already uses the hash's low bits.
std::uint32_t tagOf(std::size_t hash) noexcept
{
    const auto wide = static_cast<std::uint64_t>(hash);
    return static_cast<std::uint32_t>(wide ^ (wide >> 32)) | 0x80000000U;
}

} // namespace

// One point in one cache line: found with a single miss among a million.
// The slot's own fields sit in the bytes PointState leaves after its flags.
struct PointStore::Slot : PointState {
    std::uint16_t nameSize = 0;
    std::uint32_t tag = 0;
    union {
        char inlineName[kInlineName];
        char* heapName;
    };

    Slot() noexcept : inlineName{} {}

    [[nodiscard]] bool isEmpty() const noexcept { return tag == 0; }
    [[nodiscard]] bool isLong() const noexcept { return nameSize > kInlineName; }
    [[nodiscard]] std::string_view name() const noexcept { return {isLong() ? heapName : inlineName, nameSize}; }
};

void PointStore::release(const Table& table) noexcept
{
    for (Slot& slot : std::span(table.slots, table.slots == nullptr ? 0 : table.mask + 1)) {
        if (!slot.isEmpty() && slot.isLong()) {
            delete[] slot.heapName;
        }
        slot.~Slot();
    }
    ::operator delete(table.memory);
}

PointStore::~PointStore()
{
    release(table_);
    release(old_);
    std::destroy_n(building_.slots, built_);
    ::operator delete(building_.memory);
}

PointStore::Slot* PointStore::lookUp(const Table& table, std::string_view name, std::size_t hash) noexcept
{
    if (table.slots == nullptr) {
        return nullptr;
    }
    const std::uint32_t tag = tagOf(hash);
    // Linear probing: the next slots share the cache line or follow it,
    // which the hardware fetches ahead. The empty slot ends the probe: it is
    // where the name would go.
    for (std::size_t i = hash & table.mask;; i = (i + 1) & table.mask) {
        Slot& slot = table.slots[i];
        if (slot.isEmpty() || (slot.tag == tag && slot.name() == name)) {
            return &slot;
        }
    }
}

void PointStore::prefetch(std::size_t hash) const noexcept
{
    for (std::size_t next = 0; next < kPrefetchedSlots; ++next) {
        __builtin_prefetch(&table_.slots[(hash + next) & table_.mask]);
        if (old_.slots != nullptr) {
            __builtin_prefetch(&old_.slots[(hash + next) & old_.mask]);
        }
    }
}

void PointStore::expect(std::span<const std::string_view> names) noexcept
{
    expected_.clear();
    next_ = 0;
    try {
        if (table_.mask + 1 >= kPrefetchFromSlots) {
            expected_.reserve(names.size()); // nothing once a batch of this size came
        }
    } catch (const std::bad_alloc&) {
        return; // which only costs the misses
    }
    for (const std::string_view name : names.first(std::min(names.size(), expected_.capacity()))) {
        expected_.push_back({name.data(), nameHash(name)});
        if (expected_.size() <= kPrefetchAhead) {
            prefetch(expected_.back().hash);
        }
    }
}

std::size_t PointStore::hashFor(std::string_view name) noexcept
{
    // Names dropped before they reached the store are passed over.
    for (std::size_t i = next_; i < expected_.size(); ++i) {
        if (expected_[i].name == name.data()) {
            next_ = i + 1;
            if (i + kPrefetchAhead < expected_.size()) {
                prefetch(expected_[i + kPrefetchAhead].hash);
            }
            return expected_[i].hash;
        }
    }
    return nameHash(name);
}

PointStore::Slot* PointStore::known(std::string_view name, std::size_t hash) const noexcept
{
    for (const Table* table : {&table_, &old_}) {
        if (Slot* slot = lookUp(*table, name, hash); slot != nullptr && !slot->isEmpty()) {
            return slot;
        }
    }
    return nullptr;
}

const PointState* PointStore::find(std::string_view name) noexcept
{
    return known(name, hashFor(name));
}

std::pair<std::string_view, const PointState&> PointStore::at(std::size_t place) const noexcept
{
    const bool draining = place >= drained_ && place < oldCount_;
    const Slot& slot = (draining ? old_ : table_).slots[order_[place]];
    return {slot.name(), slot};
}

PointStore::Table PointStore::allocate(std::size_t count)
{
    static_assert(sizeof(void*) != 8 || sizeof(Slot) == kCacheLine);
    const std::size_t bytes = count * sizeof(Slot);
    // Plain operator new, aligned by hand, so that the tests' allocator
    // sees (and can fail) this allocation too.
    void* memory = ::operator new(bytes + kCacheLine);
    const auto address = reinterpret_cast<std::uintptr_t>(memory);
    auto* slots = reinterpret_cast<Slot*>((address + kCacheLine - 1) & ~(kCacheLine - 1));
    // No huge pages for a table that grows: the first touch of one zeroes
    // 2 MiB at once, a few milliseconds in which no datagram is taken; small
    // pages spread that over the steps that build the table.
    return Table{slots, count - 1, memory};
}

void PointStore::growStep()
{
    const std::size_t slots = table_.mask + 1;
    const bool full = 4 * (size() + 1) > 3 * slots; // after this point
    // From half full, while the table may yet need to grow, a table twice its
    // size is built a few slots per new point: it is ready when this one is
    // three quarters full.
    if (building_.slots == nullptr && old_.slots == nullptr && (2 * size() >= slots && maxPoints_ > 3 * slots / 4)) {
        building_ = allocate(2 * slots);
        built_ = 0;
    }
    moveOld(full ? oldCount_ : kMovedPerPoint); // all of them only where the steps fell behind
    if (full && building_.slots == nullptr) {
        building_ = allocate(2 * slots);
        built_ = 0;
    }
    const std::size_t unbuilt = building_.slots == nullptr ? 0 : building_.mask + 1 - built_;
    const std::size_t build = full ? unbuilt : std::min(kBuiltPerPoint, unbuilt);
    // The pages ahead are made in one call a chunk at a time: page by page,
    // each first touch a fault of its own, they cost more than the points.
    if (build > 0 && built_ % kSlotsPerChunk == 0) {
        const auto from = reinterpret_cast<std::uintptr_t>(building_.slots + built_) & ~(kPageSize - 1);
        const std::size_t chunk = std::min(kSlotsPerChunk, unbuilt) * sizeof(Slot) + kPageSize;
        (void)madvise(reinterpret_cast<void*>(from), chunk, MADV_POPULATE_WRITE); // only a hint: without it, faults
    }
    std::uninitialized_default_construct_n(building_.slots + built_, build);
    built_ += build;
    // Three quarters full: new points go to the new table, and the old one's
    // follow a few per new point, by their places, so that it is empty
    // before the new one is half full.
    if (full) {
        old_ = std::exchange(table_, std::exchange(building_, Table{}));
        built_ = drained_ = 0;
        oldCount_ = size();
    }
}

void PointStore::moveOld(std::size_t count) noexcept
{
    for (std::size_t moved = 0; moved < count && drained_ < oldCount_; ++moved, ++drained_) {
        Slot& from = old_.slots[order_[drained_]];
        Slot& to = *lookUp(table_, from.name(), nameHash(from.name()));
        static_cast<PointState&>(to) = std::move(from);
        to.nameSize = std::exchange(from.nameSize, 0); // its long name belongs to the new slot now
        to.tag = std::exchange(from.tag, kMovedTag);
        std::memcpy(to.inlineName, from.inlineName, kInlineName); // or the long name's pointer
        order_[drained_] = static_cast<std::uint32_t>(&to - table_.slots);
    }
    if (old_.slots != nullptr && drained_ == oldCount_) {
        // Every slot is empty or moved from, holding nothing to release: the
        // memory goes without a pass over them.
        ::operator delete(std::exchange(old_, Table{}).memory);
        drained_ = oldCount_ = 0;
    }
}

bool PointStore::reserve() noexcept
{
    const std::size_t points = std::min(maxPoints_, kReservedPoints);
    std::size_t slots = kFirstSlotCount;
    while (4 * points > 3 * slots) {
        slots *= 2;
    }
    if (table_.slots != nullptr || slots == kFirstSlotCount) {
        return true;
    }
    try {
        table_ = allocate(slots);
    } catch (const std::bad_alloc&) {
        return false;
    }
    const std::size_t bytes = slots * sizeof(Slot);
    const std::uintptr_t from = (reinterpret_cast<std::uintptr_t>(table_.slots) + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t to = (reinterpret_cast<std::uintptr_t>(table_.slots) + bytes) & ~(kHugePage - 1);
    if (to > from) {
        (void)madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE); // a hint: without it, small pages
    }
    std::uninitialized_default_construct_n(table_.slots, slots);
    return true;
}

PointStore::Slot* PointStore::insertSlot(std::string_view name, std::size_t hash)
{
    if (size() >= std::min<std::size_t>(maxPoints_, UINT32_MAX) || name.size() > kMaxNameSize) {
        return nullptr;
    }
    if (table_.slots == nullptr) {
        table_ = allocate(kFirstSlotCount);
        std::uninitialized_default_construct_n(table_.slots, kFirstSlotCount);
    }
    growStep();
    // Both may throw, and are undone: nothing has changed yet.
    std::unique_ptr<char[]> longName(name.size() > kInlineName ? new char[name.size()] : nullptr);
    order_.push_back(0);
    Slot& slot = *lookUp(table_, name, hash);
    slot.tag = tagOf(hash);
    slot.nameSize = static_cast<std::uint16_t>(name.size());
    std::copy(name.begin(), name.end(), longName ? (slot.heapName = longName.release()) : slot.inlineName);
    order_.back() = static_cast<std::uint32_t>(&slot - table_.slots);
    return &slot;
}

std::optional<PointChange> PointStore::update(std::string_view name, bool set, WallClock::time_point now,
                                              std::shared_ptr<const RuntimeInfo> runtimeInfo)
{
    // Updates of known points move the old table's points on too: a store
    // that no longer gains points must not look in two tables for ever.
    if (old_.slots != nullptr) {
        moveOld(kMovedPerPoint);
    }
    const std::size_t hash = hashFor(name);
    Slot* slot = known(name, hash);
    if (slot == nullptr) {
        if ((slot = insertSlot(name, hash)) == nullptr) {
            return std::nullopt;
        }
        slot->lastChange = now;
    }
    const bool wasSet = std::exchange(slot->isSet, set);
    slot->lastChange = wasSet != set ? now : slot->lastChange;
    setCount_ = setCount_ + (set ? 1 : 0) - (wasSet ? 1 : 0);
    ++slot->updateCount;
    slot->runtimeInfoFromLastUpdate = runtimeInfo != nullptr;
    if (runtimeInfo) {
        slot->runtimeInfo = std::move(runtimeInfo);
    }
    return PointChange{wasSet, set, slot->updateCount, slot};
}

bool PointStore::restore(std::string_view name, PointState state)
{
    const std::size_t hash = nameHash(name);
    Slot* slot = known(name, hash) == nullptr ? insertSlot(name, hash) : nullptr;
    if (slot == nullptr) {
        return false;
    }
    static_cast<PointState&>(*slot) = std::move(state);
    setCount_ += slot->isSet ? 1 : 0;
    return true;
}

} // namespace marld
