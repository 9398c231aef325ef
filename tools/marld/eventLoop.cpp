#include "eventLoop.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <span>

namespace marld {

EventLoop::EventLoop() : epoll_(epoll_create1(EPOLL_CLOEXEC)) {}

EventLoop::~EventLoop()
{
    close(epoll_);
}

bool EventLoop::control(int operation, int fd, std::uint32_t events)
{
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    return epoll_ctl(epoll_, operation, fd, &event) == 0;
}

bool EventLoop::watch(int fd, std::uint32_t events, Ready ready, std::string& error)
{
    if (!control(EPOLL_CTL_ADD, fd, events)) {
        error = std::string("cannot watch a descriptor: ") + std::strerror(errno);
        return false;
    }
    watched_[fd] = Watched{watchedEver_++, std::make_shared<Ready>(std::move(ready))};
    return true;
}

void EventLoop::change(int fd, std::uint32_t events)
{
    (void)control(EPOLL_CTL_MOD, fd, events);
}

void EventLoop::unwatch(int fd)
{
    (void)control(EPOLL_CTL_DEL, fd, 0);
    watched_.erase(fd);
}

EventLoop::TimerId EventLoop::timer(std::function<void()> due)
{
    timers_.push_back(Timer{std::move(due)});
    return timers_.size() - 1;
}

void EventLoop::arm(TimerId timer, Clock::time_point at)
{
    disarm(timer);
    timers_[timer].at = at;
    timers_[timer].armed = true;
    schedule_.emplace(at, timer);
}

void EventLoop::disarm(TimerId timer)
{
    if (std::exchange(timers_[timer].armed, false)) {
        schedule_.erase({timers_[timer].at, timer});
    }
}

void EventLoop::runDueTimers(Clock::time_point now)
{
    while (!schedule_.empty() && schedule_.begin()->first <= now) {
        const TimerId timer = schedule_.begin()->second;
        disarm(timer);
        timers_[timer].due(); // may arm it again
    }
}

bool EventLoop::run()
{
    std::vector<epoll_event> events;
    const auto order = [this](const epoll_event& event) {
        const auto found = watched_.find(event.data.fd);
        return found == watched_.end() ? SIZE_MAX : found->second.order;
    };
    while (!stopped_) {
        int timeout = -1;
        if (!schedule_.empty()) {
            // Rounded up, so that the wait never ends before the timer is due.
            const auto wait = schedule_.begin()->first - Clock::now();
            timeout = static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(
                std::chrono::ceil<std::chrono::milliseconds>(wait).count(), 0, 60'000));
        }
        events.resize(std::max<std::size_t>(watched_.size(), 1));
        const int count = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), timeout);
        // Timers that fall due while the descriptors are served wait for the
        // next turn, after the descriptors have been looked at again.
        const Clock::time_point woke = Clock::now();
        if (count < 0 && errno != EINTR) {
            std::fprintf(stderr, "marld: waiting failed: %s\n", std::strerror(errno));
            return false;
        }
        const std::span ready(events.data(), static_cast<std::size_t>(std::max(count, 0)));
        std::ranges::sort(ready, {}, order);
        for (const epoll_event& event : ready) {
            // A handler before it may have stopped watching it.
            if (const auto found = watched_.find(event.data.fd); found != watched_.end() && !stopped_) {
                const std::shared_ptr<Ready> handler = found->second.ready;
                (*handler)(event.events);
            }
        }
        runDueTimers(woke);
        turnTimes_.add(std::chrono::duration<double>(Clock::now() - woke).count());
    }
    return true;
}

} // namespace marld
