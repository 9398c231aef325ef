// Lets through at most a few lines per time window and counts the rest, so
// that a flood of bad datagrams cannot flood the log; the count is shown
// once the window is over.
#pragma once

#include <chrono>
#include <cstdint>
#include <utility>

namespace marld {

class LineRateLimiter {
public:
    using Clock = std::chrono::steady_clock;

    LineRateLimiter(unsigned linesPerWindow, Clock::duration window) : limit_(linesPerWindow), window_(window) {}

    // True when a line may be written at `now`, the first of a window opening
    // it; otherwise the line is counted as suppressed.
    [[nodiscard]] bool admit(Clock::time_point now)
    {
        if (now >= windowEnd_) {
            windowEnd_ = now + window_;
            admitted_ = 0;
        }
        const bool admitted = admitted_ < limit_;
        admitted_ += admitted ? 1 : 0;
        suppressed_ += admitted ? 0 : 1;
        return admitted;
    }

    // When the window that admit() last opened is over, and what it held
    // back is to be told.
    [[nodiscard]] Clock::time_point windowEnd() const noexcept { return windowEnd_; }

    // The lines suppressed since the last call.
    [[nodiscard]] std::uint64_t takeSuppressed() noexcept { return std::exchange(suppressed_, 0); }

private:
    unsigned limit_;
    Clock::duration window_;
    Clock::time_point windowEnd_{};
    unsigned admitted_ = 0;
    std::uint64_t suppressed_ = 0;
};

} // namespace marld
