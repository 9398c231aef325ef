#include "journal.h"

#include <algorithm>

namespace marld {

Journal::Ring& Journal::ringOf(std::string_view name)
{
    auto found = rings_.find(name);
    if (found == rings_.end()) {
        found = rings_.emplace(std::string(name), Ring{}).first;
    }
    return found->second;
}

void Journal::Ring::put(std::uint64_t change, StateChange state)
{
    const std::size_t at = static_cast<std::size_t>((change - 1) % kDepth);
    if (changes.size() <= at) {
        changes.resize(at + 1);
    }
    changes[at] = std::move(state);
    count = std::max(count, change);
}

std::uint64_t Journal::Ring::firstKept() const noexcept
{
    return count - std::min<std::uint64_t>(count, kDepth);
}

void Journal::note(std::string_view name, const PointState& point, bool changed)
{
    // Everything that can fail comes first, so that a failure notes nothing.
    if (keepBatch_) {
        batch_.push_back(JournalEntry{std::string(name), point, 0});
    }
    if (!changed) {
        return;
    }
    try {
        Ring& ring = ringOf(name);
        const std::uint64_t number = ring.count + 1;
        if (keepHistory_) {
            ring.put(number, StateChange{point.lastChange, point.isSet, point.runtimeInfo});
        }
        ring.count = number;
        if (keepBatch_) {
            batch_.back().change = number;
        }
    } catch (...) {
        if (keepBatch_) {
            batch_.pop_back();
        }
        throw;
    }
}

void Journal::restore(std::string_view name, std::uint64_t change, StateChange state)
{
    Ring& ring = ringOf(name);
    if (!keepHistory_) {
        ring.count = std::max(ring.count, change);
    } else if (change > ring.firstKept()) { // anything older than what the ring holds is left out
        ring.put(change, std::move(state));
    }
}

std::vector<StateChange> Journal::history(std::string_view name) const
{
    const auto found = rings_.find(name);
    if (!keepHistory_ || found == rings_.end()) {
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
