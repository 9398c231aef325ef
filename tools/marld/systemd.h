// marld under systemd, through its plain protocol (environment variables and
// a Unix datagram socket), so that marld needs no library for it and builds
// where libsystemd is missing: the socket systemd passes (socket activation)
// and the notifications it reads (readiness, status, the watchdog's pings).
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <optional>
#include <string>

namespace marld {

// The socket that systemd passed (LISTEN_FDS=1, LISTEN_PID this process):
// descriptor 3, made non-blocking and close-on-exec; -1 when none was
// passed. One that is not an IPv4 or IPv6 datagram socket is refused: -2,
// with `error` saying what it is.
[[nodiscard]] int passedSocket(std::string& error);

// Tells systemd (NOTIFY_SOCKET) how marld is doing; does nothing when marld
// was not started by it.
class Notifier {
public:
    Notifier();
    ~Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    [[nodiscard]] bool active() const noexcept { return fd_ >= 0; }
    // Half of WATCHDOG_USEC, when systemd watches this process.
    [[nodiscard]] std::optional<std::chrono::microseconds> watchdogInterval() const noexcept { return watchdog_; }
    // "READY=1", "STOPPING=1", "WATCHDOG=1", "STATUS=...", one per line.
    void send(const std::string& message) const noexcept;

private:
    int fd_ = -1;
    sockaddr_un address_{};
    socklen_t size_ = 0;
    std::optional<std::chrono::microseconds> watchdog_;
};

} // namespace marld
