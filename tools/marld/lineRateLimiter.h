// Lets through at most a few lines per time window and counts the rest, so
// that a flood of bad datagrams cannot flood the log; the count is shown
// once the window is over.
#pragma once

#include <chrono>
#include <cstdint>

namespace marld {

class LineRateLimiter {
public:
    using Clock = std::chrono::steady_clock;

    LineRateLimiter(unsigned linesPerWindow, Clock::duration window) : limit_(linesPerWindow), window_(window) {}

    // True when a line may be written at `now`; otherwise the line is
    // counted as suppressed.
    [[nodiscard]] bool admit(Clock::time_point now)
    {
        if (!windowOpen_ || now - windowStart_ >= window_) {
            windowOpen_ = true;
            windowStart_ = now;
            admitted_ = 0;
        }
        if (admitted_ < limit_) {
            ++admitted_;
            return true;
        }
        ++suppressed_;
        return false;
    }

    // When the window that admit() last opened is over.
    [[nodiscard]] Clock::time_point windowEnd() const noexcept { return windowStart_ + window_; }

    // The lines suppressed in a window that is over at `now` (or in any
    // window, when `force` is set), counted once; 0 when there are none yet
    // to report.
    [[nodiscard]] std::uint64_t takeSuppressed(Clock::time_point now, bool force = false)
    {
        if (suppressed_ == 0 || (!force && now - windowStart_ < window_)) {
            return 0;
        }
        const std::uint64_t count = suppressed_;
        suppressed_ = 0;
        return count;
    }

private:
    unsigned limit_;
    Clock::duration window_;
    bool windowOpen_ = false;
    Clock::time_point windowStart_{};
    unsigned admitted_ = 0;
    std::uint64_t suppressed_ = 0;
};

} // namespace marld
