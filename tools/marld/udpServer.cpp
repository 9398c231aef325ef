#include "udpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "httpServer.h"
#include "lineRateLimiter.h"

namespace marld {

namespace {

// Set by the signal handler only; the loop reads it between receives.
volatile std::sig_atomic_t stopRequested = 0;
// The socket the loop receives on, once it does; -1 before and after.
volatile std::sig_atomic_t stopSocket = -1;

// The loop waits for datagrams in the receive call itself, not in a poll
// before it (one system call per wake-up instead of two). A stop must then
// end that wait, even when the signal comes between the check of the flag
// and the call: shutting down the socket's receive side does, for good, as
// a receive on it returns at once from then on, with an entry that has no
// sender (see Loop::receiveBatch). shutdown() is async-signal-safe.
extern "C" void requestStop(int)
{
    const int savedErrno = errno;
    stopRequested = 1;
    if (stopSocket >= 0) {
        (void)shutdown(stopSocket, SHUT_RD);
    }
    errno = savedErrno;
}

[[nodiscard]] bool installStopHandlers()
{
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    // A reader that closed our stdout must not kill the service.
    std::signal(SIGPIPE, SIG_IGN);
    return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
}

void emit(std::FILE* stream, const std::string& text)
{
    std::fputs(text.c_str(), stream);
    std::fflush(stream);
}

// The lines about updates and queries are written to stdout's buffer and
// flushed once per batch (see Loop::receiveAndHandle): one write for many lines
// instead of one each, and still every line out before marld waits again.
void emitBuffered(const std::string& text)
{
    std::fputs(text.c_str(), stdout);
}

sockaddr_in socketAddress(Endpoint endpoint)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(endpoint.address);
    address.sin_port = htons(endpoint.port);
    return address;
}

Endpoint endpointOf(const sockaddr_in& address)
{
    return Endpoint{ntohl(address.sin_addr.s_addr), ntohs(address.sin_port)};
}

// A bound socket and the address it got, or -1 after a message on stderr.
int openSocket(const ServerSettings& settings, Endpoint& bound)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::fprintf(stderr, "marld: cannot create a UDP socket: %s\n", std::strerror(errno));
        return -1;
    }
    const sockaddr_in wanted = socketAddress(settings.bindTo);
    sockaddr_in got{};
    socklen_t gotSize = sizeof got;
    const char* failed = nullptr;
    if (settings.receiveBuffer &&
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &*settings.receiveBuffer, sizeof *settings.receiveBuffer) != 0) {
        failed = "set the receive buffer of";
    } else if (bind(fd, reinterpret_cast<const sockaddr*>(&wanted), sizeof wanted) != 0) {
        failed = "bind to";
    } else if (getsockname(fd, reinterpret_cast<sockaddr*>(&got), &gotSize) != 0) {
        failed = "read the address of";
    }
    if (failed != nullptr) {
        std::fprintf(stderr, "marld: cannot %s %s: %s\n", failed, endpointText(settings.bindTo).c_str(),
                     std::strerror(errno));
        close(fd);
        return -1;
    }
    bound = endpointOf(got);
    return fd;
}

using SteadyClock = LineRateLimiter::Clock;

// `lock` held, when there is one: what the HTTP side reads changes only
// while the loop holds it.
[[nodiscard]] std::unique_lock<std::mutex> holdIf(std::mutex* lock)
{
    return lock != nullptr ? std::unique_lock(*lock) : std::unique_lock<std::mutex>();
}

// Replies that --reply-delay holds back, oldest first: the delay being the
// same for all, the order they came in is the order they fall due. The slots
// are made on first use and keep their buffers, so that a steady stream of
// queries allocates nothing more.
class DelayedReplies {
public:
    struct Reply {
        SteadyClock::time_point due;
        Endpoint to;
        std::vector<std::uint8_t> bytes;
    };

    // False, holding nothing, when kMaxDelayedReplies are waiting already.
    bool hold(SteadyClock::time_point due, Endpoint to, std::span<const std::uint8_t> bytes)
    {
        if (count_ == kMaxDelayedReplies) {
            return false;
        }
        if (slots_.empty()) {
            slots_.resize(kMaxDelayedReplies);
        }
        Reply& slot = slots_[(first_ + count_) % kMaxDelayedReplies];
        slot.due = due;
        slot.to = to;
        slot.bytes.assign(bytes.begin(), bytes.end());
        ++count_;
        return true;
    }

    [[nodiscard]] const Reply* oldest() const { return count_ == 0 ? nullptr : &slots_[first_]; }

    void release()
    {
        first_ = (first_ + 1) % kMaxDelayedReplies;
        --count_;
    }

    [[nodiscard]] std::size_t size() const { return count_; }

private:
    std::vector<Reply> slots_;
    std::size_t first_ = 0;
    std::size_t count_ = 0;
};

class Loop {
public:
    Loop(int fd, const ServerSettings& settings, DatagramHandler& handler, std::mutex* lock)
        : fd_(fd), lock_(lock), format_(settings.format), quiet_(settings.quiet), replyDelay_(settings.replyDelay),
          handler_(handler),
          batch_(static_cast<unsigned>(std::clamp(settings.receiveBatch, 1, kMaxReceiveBatch))),
          buffers_(std::make_unique_for_overwrite<std::uint8_t[]>(batch_ * kBufferStride)), messages_(batch_),
          data_(batch_), senders_(batch_)
    {
        for (std::size_t i = 0; i < batch_; ++i) {
            data_[i] = iovec{buffers_.get() + i * kBufferStride, kBufferSize};
            messages_[i].msg_hdr.msg_iov = &data_[i];
            messages_[i].msg_hdr.msg_iovlen = 1;
        }
    }

    // Waits up to `longest`, or until the next delayed reply is due, for
    // datagrams; handles those that came, one batch at most, and writes out
    // the lines they printed. False, after a message, when receiving failed
    // for a reason that would not go away.
    bool receiveAndHandle(std::chrono::nanoseconds longest)
    {
        const int count = receiveBatch(waitTime(longest));
        if (count < 0) {
            std::fprintf(stderr, "marld: receiving datagrams failed: %s\n", std::strerror(errno));
            return false;
        }
        std::unique_lock<std::mutex> hold = holdIf(count > 0 ? lock_ : nullptr);
        // One reading of the clock for the batch: its datagrams arrived
        // together, as far as a point's time of change can tell.
        const WallClock::time_point now = WallClock::now();
        const auto datagramAt = [this](std::size_t i) {
            return std::pair(static_cast<const std::uint8_t*>(data_[i].iov_base), std::size_t{messages_[i].msg_len});
        };
        handlePrefetched(handler_, static_cast<std::size_t>(count), datagramAt, [&](std::size_t i, std::size_t hash) {
            if (messages_[i].msg_hdr.msg_namelen != 0) { // none: the stop's wake-up, no datagram
                const auto [bytes, size] = datagramAt(i);
                handleDatagram(bytes, size, endpointOf(senders_[i]), now, hash);
            }
        });
        hold = {};
        std::fflush(stdout);
        return true;
    }

    // The clock is read only when there is something to report, so that a
    // batch of well-formed datagrams reads it once, for the store.
    void reportSuppressed(bool force)
    {
        if (!problemLines_.holdsSuppressed()) {
            return;
        }
        if (const std::uint64_t count = problemLines_.takeSuppressed(LineRateLimiter::Clock::now(), force)) {
            emit(stderr, suppressedLine(format_, count));
        }
    }

    // Sends the delayed replies that are due.
    void sendDueReplies()
    {
        if (delayed_.size() == 0) {
            return;
        }
        const auto now = SteadyClock::now();
        for (const DelayedReplies::Reply* reply; (reply = delayed_.oldest()) != nullptr && reply->due <= now;) {
            ++io_.repliesDelayed;
            sendReply(reply->to, reply->bytes);
            delayed_.release();
        }
    }

    // At the stop, what still waits is counted and not sent.
    void discardDelayedReplies() { io_.delayedRepliesDiscarded += delayed_.size(); }

    const IoCounters& ioCounters() const { return io_; }

private:
    // Larger than any UDP datagram over IPv4, so nothing is ever cut.
    static constexpr std::size_t kBufferSize = 65536;
    // Buffers a power of two apart would all start in the same cache set, and
    // the headers of a batch would evict one another between the copy and
    // the read; each starts five cache lines further along instead.
    static constexpr std::size_t kBufferStride = kBufferSize + 5 * 64;

    // How long to wait for datagrams: until the next delayed reply is due,
    // and at most `longest`.
    std::chrono::nanoseconds waitTime(std::chrono::nanoseconds longest) const
    {
        if (const DelayedReplies::Reply* next = delayed_.oldest()) {
            return std::clamp<std::chrono::nanoseconds>(next->due - SteadyClock::now(), {}, longest);
        }
        return longest;
    }

    // Takes up to one batch of datagrams, waiting up to `wait` for the first;
    // the count taken, 0 when none came or the call failed for a passing
    // reason (counted), -1 when it failed for one that would not pass.
    int receiveBatch(std::chrono::nanoseconds wait)
    {
        // The wait is the socket's receive timeout, set again only when it
        // changes: once, unless delayed replies are waiting. A timeout of 0
        // would wait for ever, so a wait shorter than a microsecond is none.
        const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(wait);
        int flags = MSG_WAITFORONE;
        if (micros.count() == 0) {
            flags |= MSG_DONTWAIT;
        } else if (micros != timeoutSet_) {
            const timeval timeout{static_cast<time_t>(micros.count() / 1000000),
                                  static_cast<suseconds_t>(micros.count() % 1000000)};
            if (setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0) {
                timeoutSet_ = micros;
            }
        }
        // The kernel shortens the address lengths it writes; give each
        // slot its full room back.
        for (std::size_t i = 0; i < batch_; ++i) {
            messages_[i].msg_hdr.msg_name = &senders_[i];
            messages_[i].msg_hdr.msg_namelen = sizeof senders_[i];
        }
        const int count = recvmmsg(fd_, messages_.data(), batch_, flags, nullptr);
        if (count >= 0) {
            return count;
        }
        if (errno == EBADF || errno == ENOTSOCK || errno == EFAULT || errno == EINVAL) {
            return -1;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            ++io_.receiveErrors;
        }
        return 0;
    }

    void handleDatagram(const std::uint8_t* bytes, std::size_t size, Endpoint sender, WallClock::time_point now,
                        std::size_t nameHash)
    {
        const Outcome outcome = handler_.handle(bytes, size, sender, now, nameHash);
        const auto* query = std::get_if<QueryAnswered>(&outcome);
        if (query != nullptr && replyDelay_.count() == 0) {
            sendReply(query->replyTo, query->reply);
        } else if (query != nullptr && !delayed_.hold(SteadyClock::now() + replyDelay_, query->replyTo, query->reply)) {
            ++io_.delayedRepliesDropped;
        }
        if (std::holds_alternative<Dropped>(outcome)) {
            if (admitProblemLine()) {
                emit(stderr, outcomeLine(format_, outcome, size, sender));
            }
        } else if (!quiet_) {
            emitBuffered(outcomeLine(format_, outcome, size, sender));
        }
    }

    // Lines about drops and failed replies share one limit, so that a flood
    // of either cannot flood stderr.
    bool admitProblemLine()
    {
        reportSuppressed(false);
        return problemLines_.admit(LineRateLimiter::Clock::now());
    }

    void sendReply(Endpoint replyTo, std::span<const std::uint8_t> reply)
    {
        const sockaddr_in to = socketAddress(replyTo);
        if (sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) {
            ++io_.replyErrors;
            const int error = errno;
            if (admitProblemLine()) {
                emit(stderr, replyFailedLine(format_, replyTo, std::strerror(error)));
            }
        }
    }

    int fd_;
    std::mutex* lock_; // Shared::lock, with an HTTP side
    OutputFormat format_;
    bool quiet_;
    std::chrono::milliseconds replyDelay_;
    DatagramHandler& handler_;
    unsigned batch_;
    // Datagram i of a batch: its bytes in data_[i] (kBufferSize bytes of
    // buffers_), its sender in senders_[i], its size in messages_[i].
    std::unique_ptr<std::uint8_t[]> buffers_;
    std::vector<mmsghdr> messages_;
    std::vector<iovec> data_;
    std::vector<sockaddr_in> senders_;
    LineRateLimiter problemLines_{5, std::chrono::seconds(1)};
    IoCounters io_;
    DelayedReplies delayed_;
    std::chrono::microseconds timeoutSet_{}; // none yet
};

} // namespace

int serve(const ServerSettings& settings, DatagramHandler& handler, const StateKeeper* keeper, Shared* shared)
{
    if (!installStopHandlers()) {
        std::fprintf(stderr, "marld: cannot install the signal handlers: %s\n", std::strerror(errno));
        return 2;
    }
    std::mutex* lock = shared != nullptr ? &shared->lock : nullptr;
    {
        const auto hold = holdIf(lock);
        handler.setTestAids(settings.testAids);
    }
    Endpoint bound;
    const int fd = openSocket(settings, bound);
    if (fd < 0) {
        return 2;
    }
    emit(stdout, listeningLine(settings.format, bound));
    if (settings.httpBound) {
        emit(stdout, httpLine(settings.format, *settings.httpBound));
    }
    if (shared != nullptr) {
        shared->udpSocket = fd;
    }

    Loop loop(fd, settings, handler, lock);
    auto lastSave = SteadyClock::now();
    const auto save = [&] {
        std::string error;
        bool saved = false;
        {
            const auto hold = holdIf(lock);
            saved = keeper->save(error);
        }
        if (!saved) {
            emit(stderr, "marld: " + error + "\n");
        }
        lastSave = SteadyClock::now();
    };
    int status = 0;
    // Wakes up at least once a second, to report suppressed lines without
    // waiting for the next problem, and as often as the state is to be kept.
    const std::chrono::nanoseconds wakeUp =
        keeper != nullptr ? std::min<std::chrono::nanoseconds>(keeper->interval, std::chrono::seconds(1))
                          : std::chrono::seconds(1);
    stopSocket = fd; // before the flag is first checked: a signal from here on ends the wait
    while (stopRequested == 0) {
        if (!loop.receiveAndHandle(wakeUp)) {
            status = 1;
            break;
        }
        loop.sendDueReplies();
        if (keeper != nullptr && SteadyClock::now() - lastSave >= keeper->interval) {
            save();
        }
        loop.reportSuppressed(false);
    }
    stopSocket = -1;
    loop.discardDelayedReplies();
    if (keeper != nullptr) {
        save();
    }
    loop.reportSuppressed(true);
    if (shared != nullptr) {
        shared->udpSocket = -1;
    }
    close(fd);
    emit(stdout, countersReport(settings.format, handler.counters(), loop.ioCounters()));
    return status;
}

} // namespace marld
