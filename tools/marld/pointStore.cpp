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
constexpr std::size_t kHugePage = std::size_t{2} << 20;
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

const PointState* PointStore::find(std::string_view name) noexcept
{
    const Slot* slot = lookUp(table_, name, hashFor(name));
    return slot == nullptr || slot->isEmpty() ? nullptr : slot;
}

std::pair<std::string_view, const PointState&> PointStore::at(std::size_t place) const noexcept
{
    const Slot& slot = table_.slots[order_[place]];
    return {slot.name(), slot};
}

void PointStore::grow()
{
    const std::size_t count = table_.slots == nullptr ? kFirstSlotCount : 2 * (table_.mask + 1);
    static_assert(sizeof(void*) != 8 || sizeof(Slot) == kCacheLine);
    const std::size_t bytes = count * sizeof(Slot);
    // Plain operator new, aligned by hand, so that the tests' allocator
    // sees (and can fail) this allocation too.
    void* memory = ::operator new(bytes + kCacheLine);
    const auto address = reinterpret_cast<std::uintptr_t>(memory);
    auto* slots = reinterpret_cast<Slot*>((address + kCacheLine - 1) & ~(kCacheLine - 1));
    // A million points span a hundred megabytes: huge pages spare a TLB
    // miss on top of the cache miss. Only a hint; without it all works.
    if (bytes >= 2 * kHugePage) {
        const std::uintptr_t from = (address + kHugePage - 1) & ~(kHugePage - 1);
        (void)madvise(reinterpret_cast<void*>(from), ((address + bytes) & ~(kHugePage - 1)) - from, MADV_HUGEPAGE);
    }
    std::uninitialized_default_construct_n(slots, count);
    const Table grown{slots, count - 1, memory};
    for (std::uint32_t& place : order_) {
        Slot& old = table_.slots[place];
        Slot& moved = *lookUp(grown, old.name(), nameHash(old.name()));
        static_cast<PointState&>(moved) = std::move(old);
        moved.nameSize = old.nameSize;
        moved.tag = std::exchange(old.tag, 0); // its long name belongs to the new slot now
        std::memcpy(moved.inlineName, old.inlineName, kInlineName); // or the long name's pointer
        place = static_cast<std::uint32_t>(&moved - slots);
    }
    release(std::exchange(table_, grown));
}

PointStore::Slot* PointStore::insertSlot(std::string_view name, std::size_t hash)
{
    if (size() >= std::min<std::size_t>(maxPoints_, UINT32_MAX) || name.size() > kMaxNameSize) {
        return nullptr;
    }
    if (order_.size() == order_.capacity()) { // so that the push_back below cannot fail
        order_.reserve(std::max<std::size_t>(2 * order_.size(), kFirstSlotCount));
    }
    // At most three quarters full, so that a probe stays short.
    if (table_.slots == nullptr || 4 * (size() + 1) > 3 * (table_.mask + 1)) {
        grow();
    }
    char* longName = name.size() > kInlineName ? new char[name.size()] : nullptr;
    Slot& slot = *lookUp(table_, name, hash);
    slot.tag = tagOf(hash);
    slot.nameSize = static_cast<std::uint16_t>(name.size());
    std::copy(name.begin(), name.end(), longName != nullptr ? (slot.heapName = longName) : slot.inlineName);
    order_.push_back(static_cast<std::uint32_t>(&slot - table_.slots));
    return &slot;
}

std::optional<PointChange> PointStore::update(std::string_view name, bool set, WallClock::time_point now,
                                              std::shared_ptr<const RuntimeInfo> runtimeInfo)
{
    const std::size_t hash = hashFor(name);
    Slot* slot = lookUp(table_, name, hash);
    if (slot == nullptr || slot->isEmpty()) {
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
    const Slot* known = lookUp(table_, name, hash);
    Slot* slot = known == nullptr || known->isEmpty() ? insertSlot(name, hash) : nullptr;
    if (slot == nullptr) {
        return false;
    }
    static_cast<PointState&>(*slot) = std::move(state);
    setCount_ += slot->isSet ? 1 : 0;
    return true;
}

} // namespace marld
