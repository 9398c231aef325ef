#include "history.h"

#include <algorithm>
#include <utility>

namespace marld {

History::Ring& History::ringOf(std::string_view name)
{
    auto found = rings_.find(name);
    if (found == rings_.end()) {
        found = rings_.emplace(std::string(name), Ring{}).first;
    }
    return found->second;
}

void History::record(std::string_view name, StateChange change)
{
    Ring& ring = ringOf(name);
    if (tracking_) {
        recorded_.push_back(Recorded{std::string(name), ring.count + 1, change});
    }
    ring.put(ring.count + 1, std::move(change));
}

void History::Ring::put(std::uint64_t sequence, StateChange change)
{
    const std::size_t at = static_cast<std::size_t>((sequence - 1) % kDepth);
    if (changes.size() <= at) {
        changes.resize(at + 1);
    }
    changes[at] = std::move(change);
    count = std::max(count, sequence);
}

std::uint64_t History::Ring::firstKept() const noexcept
{
    return count - std::min<std::uint64_t>(count, kDepth);
}

void History::restore(std::string_view name, std::uint64_t sequence, StateChange change)
{
    Ring& ring = ringOf(name);
    if (sequence > ring.firstKept()) { // anything older than what the ring holds is left out
        ring.put(sequence, std::move(change));
    }
}

std::vector<StateChange> History::of(std::string_view name) const
{
    const auto found = rings_.find(name);
    if (found == rings_.end()) {
        return {};
    }
    const Ring& ring = found->second;
    std::vector<StateChange> changes;
    for (std::uint64_t i = ring.firstKept(); i < ring.count; ++i) {
        changes.push_back(ring.changes[i % kDepth]);
    }
    return changes;
}

} // namespace marld
