#include "history.h"

#include <algorithm>
#include <utility>

namespace marld {

void History::record(std::string_view name, StateChange change)
{
    auto found = rings_.find(name);
    if (tracking_) {
        const std::uint64_t sequence = (found == rings_.end() ? 0 : found->second.count) + 1;
        recorded_.push_back(Recorded{std::string(name), sequence, change});
    }
    if (found == rings_.end()) {
        found = rings_.emplace(std::string(name), Ring{}).first;
    }
    found->second.put(found->second.count + 1, std::move(change));
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

void History::restore(std::string_view name, std::uint64_t sequence, StateChange change)
{
    auto found = rings_.find(name);
    if (found == rings_.end()) {
        found = rings_.emplace(std::string(name), Ring{}).first;
    }
    Ring& ring = found->second;
    if (sequence == 0 || sequence <= ring.count - std::min<std::uint64_t>(ring.count, kDepth)) {
        return; // older than what the ring holds
    }
    ring.put(sequence, std::move(change));
}

std::vector<StateChange> History::of(std::string_view name) const
{
    const auto found = rings_.find(name);
    if (found == rings_.end()) {
        return {};
    }
    const Ring& ring = found->second;
    const std::uint64_t first = ring.count - std::min<std::uint64_t>(ring.count, kDepth);
    std::vector<StateChange> changes;
    for (std::uint64_t i = first; i < ring.count; ++i) {
        changes.push_back(ring.changes[i % kDepth]);
    }
    return changes;
}

} // namespace marld
