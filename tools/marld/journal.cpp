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

void Journal::note(std::string_view name, const PointState& point, bool changed)
{
    if (keepBatch_) {
        batch_.push_back(JournalEntry{std::string(name), point, 0});
    }
    try {
        if (changed && keepChanged_ && (point.isSet || point.updateCount > 1)) { // a first clear changes nothing
            changed_.emplace_back(name);
        }
        if (changed) {
            const std::uint64_t change = ringOf(name).count + 1;
            restore(name, change, StateChange{point.lastChange, point.isSet, point.runtimeInfo});
            if (keepBatch_) {
                batch_.back().change = change;
            }
        }
    } catch (...) {
        if (keepBatch_) { // so that a failure notes nothing
            batch_.pop_back();
        }
        throw;
    }
}

void Journal::restore(std::string_view name, std::uint64_t change, StateChange state)
{
    Ring& ring = ringOf(name);
    // Change n (from 1) sits at (n - 1) % kDepth; one that fell out of the
    // ring is left out.
    if (keepHistory_ && change + kDepth > ring.count) {
        const auto at = static_cast<std::size_t>((change - 1) % kDepth);
        ring.changes.resize(std::max(ring.changes.size(), at + 1));
        ring.changes[at] = std::move(state);
    }
    ring.count = std::max(ring.count, change);
}

std::vector<StateChange> Journal::history(std::string_view name) const
{
    const auto found = rings_.find(name);
    std::vector<StateChange> changes;
    for (std::uint64_t i = found == rings_.end() ? 0 : std::max<std::uint64_t>(found->second.count, kDepth) - kDepth;
         keepHistory_ && found != rings_.end() && i < found->second.count; ++i) {
        changes.push_back(found->second.changes[i % kDepth]);
    }
    return changes;
}

} // namespace marld
