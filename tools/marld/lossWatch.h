// Updates lost before marld saw them: the kernel drops datagrams when the
// socket's receive buffer is full, and a dropped clear leaves a point raised
// in every view of it. marld reads the socket's count of those drops every
// second and tells the operator: a line, a banner on the page and, with
// --alertmanager, an alert of its own. A loss lasts from its first drop
// until no drop has come for kQuiet.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "pointStore.h"

namespace marld {

// The socket's count of datagrams the kernel dropped with its receive buffer
// full; 0 when it cannot be read.
[[nodiscard]] std::uint64_t receiveBufferDrops(int fd) noexcept;

class LossWatch {
public:
    static constexpr std::chrono::minutes kQuiet{10};
    // Lines while drops go on: the first at once, then at most one per this.
    static constexpr std::chrono::seconds kLineEvery{10};

    // Takes the socket's count as read at `now`; the line to print, or empty.
    [[nodiscard]] std::string observe(std::uint64_t drops, WallClock::time_point now);

    // Whether updates were lost in the last kQuiet, and how many since the loss began.
    [[nodiscard]] bool active() const noexcept { return lost_ > 0; }
    [[nodiscard]] std::uint64_t lost() const noexcept { return lost_; }
    [[nodiscard]] WallClock::time_point since() const noexcept { return since_; }
    // The page's banner: "N updates lost since 14:02: the view may be stale"; empty when none.
    [[nodiscard]] std::string warning() const;

private:
    std::uint64_t seen_ = 0;     // the socket's count at the last reading
    std::uint64_t lost_ = 0;     // since since_, while active
    std::uint64_t told_ = 0;     // of lost_, in a line already
    WallClock::time_point since_{}, last_{}, toldAt_{};
};

} // namespace marld
