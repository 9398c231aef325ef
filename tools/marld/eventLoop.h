// marld's one wait: every descriptor it serves and the nearest of its timers
// in one epoll_wait, as redis's ae does. Descriptors that are ready together
// are served in the order they were first watched (the UDP socket's first),
// and every timed action is a timer in one ordered list.
#pragma once

#include <sys/epoll.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace marld {

// How long the loop's turns kept it busy, from a wake to the next wait: a
// long turn is a time when datagrams only queue up.
struct TurnTimes {
    // The histogram's bounds, in seconds: each bucket counts the turns up to
    // its bound and above the one before.
    static constexpr std::array<double, 13> kBounds{1e-5, 2e-5, 5e-5, 1e-4, 2e-4, 5e-4, 1e-3,
                                                    2e-3, 5e-3, 1e-2, 2e-2, 5e-2, 1e-1};
    std::array<std::uint64_t, kBounds.size() + 1> buckets{}; // the last one: above every bound
    std::uint64_t count = 0;
    double sum = 0;     // seconds
    double longest = 0; // seconds

    void add(double seconds) noexcept
    {
        ++buckets[static_cast<std::size_t>(std::lower_bound(kBounds.begin(), kBounds.end(), seconds) - kBounds.begin())];
        ++count;
        sum += seconds;
        longest = std::max(longest, seconds);
    }
};

class EventLoop {
public:
    using Clock = std::chrono::steady_clock;
    using Ready = std::function<void(std::uint32_t events)>; // EPOLLIN and the like
    using TimerId = std::size_t;

    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // False, with `error` set, when the loop has no epoll instance or `fd`
    // cannot be watched. Level-triggered: `ready` is called at every wake
    // while `fd` stays ready for any of `events`.
    [[nodiscard]] bool watch(int fd, std::uint32_t events, Ready ready, std::string& error);
    void change(int fd, std::uint32_t events);
    void unwatch(int fd);

    // A timer, not yet armed; `due` runs once each time it falls due.
    [[nodiscard]] TimerId timer(std::function<void()> due);
    void arm(TimerId timer, Clock::time_point at);
    void disarm(TimerId timer);
    [[nodiscard]] bool armed(TimerId timer) const { return timers_[timer].armed; }

    // Waits and serves until stop(); false, after a message on stderr, when
    // the wait itself fails.
    [[nodiscard]] bool run();
    void stop() noexcept { stopped_ = true; }

    [[nodiscard]] const TurnTimes& turnTimes() const noexcept { return turnTimes_; }

private:
    struct Watched {
        std::size_t order; // when it was first watched
        std::shared_ptr<Ready> ready; // held while it runs, so that it may unwatch its own descriptor
    };
    struct Timer {
        std::function<void()> due;
        Clock::time_point at{};
        bool armed = false;
    };

    void runDueTimers(Clock::time_point now);
    bool control(int operation, int fd, std::uint32_t events);

    int epoll_ = -1;
    bool stopped_ = false;
    std::size_t watchedEver_ = 0;
    std::map<int, Watched> watched_;
    std::vector<Timer> timers_;
    std::set<std::pair<Clock::time_point, TimerId>> schedule_; // the armed timers, the next first
    TurnTimes turnTimes_;
};

} // namespace marld
