#include "lossWatch.h"

#include <linux/sock_diag.h>
#include <sys/socket.h>

#include <array>

#include "eventFormat.h"

namespace marld {

std::uint64_t receiveBufferDrops(int fd) noexcept
{
    std::array<std::uint32_t, SK_MEMINFO_VARS> info{};
    socklen_t size = sizeof info;
    return fd >= 0 && getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info.data(), &size) == 0 ? info[SK_MEMINFO_DROPS] : 0;
}

std::string LossWatch::observe(std::uint64_t drops, WallClock::time_point now)
{
    const std::uint64_t fresh = drops - std::min(drops, seen_);
    seen_ = drops;
    if (fresh > 0) {
        since_ = lost_ == 0 ? now : since_;
        lost_ += fresh;
        last_ = now;
    }
    if (lost_ > 0 && fresh == 0 && now - last_ >= kQuiet) {
        const std::string line = "marld: no update lost since " + clockTime(last_) + "; " + std::to_string(lost_) +
                                 " were lost from " + clockTime(since_) + "\n";
        lost_ = told_ = 0;
        return line;
    }
    if (lost_ > told_ && (told_ == 0 || now - toldAt_ >= kLineEvery)) {
        told_ = lost_;
        toldAt_ = now;
        return "marld: " + warning() + " (the receive buffer was full; see --rcvbuf)\n";
    }
    return {};
}

std::string LossWatch::warning() const
{
    return active() ? std::to_string(lost_) + " updates lost since " + clockTime(since_) + ": the view may be stale" : "";
}

} // namespace marld
