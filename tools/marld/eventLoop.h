// marld's one wait: every descriptor it serves and the nearest of its timers
// in one epoll_wait, as redis's ae does. Descriptors that are ready together
// are served in the order they were first watched (the UDP socket's first),
// and every timed action is a timer in one ordered list.
#pragma once

#include <sys/epoll.h>

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
};

} // namespace marld
