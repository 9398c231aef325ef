#include "systemd.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace marld {

namespace {

// The variable's value as a number, when it is one.
std::optional<unsigned long long> numberIn(const char* variable)
{
    const char* text = std::getenv(variable);
    unsigned long long value = 0;
    const char* end = text == nullptr ? nullptr : text + std::strlen(text);
    if (text == nullptr || std::from_chars(text, end, value).ptr != end || end == text) {
        return std::nullopt;
    }
    return value;
}

// Whether the variable names this process, as LISTEN_PID and WATCHDOG_PID do;
// an unset one names every process.
bool forThisProcess(const char* variable)
{
    const auto pid = numberIn(variable);
    return std::getenv(variable) == nullptr || pid == static_cast<unsigned long long>(getpid());
}

} // namespace

int passedSocket(std::string& error)
{
    constexpr int kFirst = 3; // SD_LISTEN_FDS_START
    const auto count = numberIn("LISTEN_FDS");
    const bool ours = count && std::getenv("LISTEN_PID") != nullptr && forThisProcess("LISTEN_PID");
    // Not for the programs marld may start.
    for (const char* variable : {"LISTEN_PID", "LISTEN_FDS", "LISTEN_FDNAMES"}) {
        unsetenv(variable);
    }
    if (!ours || *count == 0) {
        return -1;
    }
    int type = 0;
    int domain = 0;
    socklen_t size = sizeof type;
    const bool isSocket = getsockopt(kFirst, SOL_SOCKET, SO_TYPE, &type, &size) == 0 &&
                          getsockopt(kFirst, SOL_SOCKET, SO_DOMAIN, &domain, &(size = sizeof domain)) == 0;
    if (*count != 1 || !isSocket || type != SOCK_DGRAM || (domain != AF_INET && domain != AF_INET6)) {
        error = "systemd passed " + std::to_string(*count) + " descriptors, the first " +
                (!isSocket ? "not a socket"
                           : std::string(type == SOCK_STREAM ? "a stream" : type == SOCK_DGRAM ? "a datagram" : "a") +
                                 " socket of family " + std::to_string(domain) + (domain == AF_UNIX ? " (Unix)" : "")) +
                "; marld takes one IPv4 or IPv6 datagram socket";
        return -2;
    }
    (void)fcntl(kFirst, F_SETFD, FD_CLOEXEC);
    (void)fcntl(kFirst, F_SETFL, fcntl(kFirst, F_GETFL) | O_NONBLOCK);
    return kFirst;
}

Notifier::Notifier()
{
    const char* path = std::getenv("NOTIFY_SOCKET");
    const std::size_t length = path == nullptr ? 0 : std::strlen(path);
    if (length == 0 || length >= sizeof address_.sun_path || (path[0] != '/' && path[0] != '@')) {
        return;
    }
    address_.sun_family = AF_UNIX;
    std::memcpy(address_.sun_path, path, length);
    address_.sun_path[0] = path[0] == '@' ? '\0' : path[0]; // an abstract socket's name starts with a NUL
    size_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (path[0] == '@' ? 0 : 1));
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const auto watchdog = numberIn("WATCHDOG_USEC");
    if (watchdog && *watchdog > 0 && forThisProcess("WATCHDOG_PID")) {
        watchdog_ = std::chrono::microseconds(*watchdog / 2);
    }
}

Notifier::~Notifier()
{
    if (fd_ >= 0) {
        close(fd_);
    }
}

void Notifier::send(const std::string& message) const noexcept
{
    if (fd_ >= 0) {
        (void)sendto(fd_, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address_),
                     size_);
    }
}

} // namespace marld
