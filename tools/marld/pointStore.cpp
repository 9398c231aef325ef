#include "pointStore.h"

#include <utility>

namespace marld {

const PointState* PointStore::find(std::string_view name) const
{
    const auto found = points_.find(name);
    return found == points_.end() ? nullptr : &found->second;
}

std::optional<PointChange> PointStore::update(std::string_view name, bool set, WallClock::time_point now,
                                              std::optional<RuntimeInfo> runtimeInfo)
{
    auto found = points_.find(name);
    if (found == points_.end()) {
        if (points_.size() >= maxPoints_) {
            return std::nullopt;
        }
        found = points_.emplace(std::string(name), PointState{}).first;
        found->second.lastChange = now;
    }
    PointState& point = found->second;
    const bool wasSet = point.isSet;
    if (wasSet != set) {
        point.lastChange = now;
    }
    point.isSet = set;
    ++point.updateCount;
    if (runtimeInfo) {
        point.runtimeInfo = std::move(runtimeInfo);
    }
    return PointChange{wasSet, set, point.updateCount};
}

} // namespace marld
