#include "udpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
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
#include <string>
#include <vector>

#include "httpServer.h"
#include "lineRateLimiter.h"

namespace marld {

namespace {

// Set by the signal handler only; the loop reads it between waits.
volatile std::sig_atomic_t stopRequested = 0;

extern "C" void requestStop(int)
{
    stopRequested = 1;
}

// SIGINT and SIGTERM are blocked except while the loop waits in ppoll, which
// unblocks them atomically: a signal that arrives while a datagram is being
// handled is delivered at the next wait, never lost between the check of the
// flag and the wait. Returns the mask to wait with.
[[nodiscard]] bool installStopHandlers(sigset_t& waitMask)
{
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    // A reader that closed our stdout must not kill the service.
    std::signal(SIGPIPE, SIG_IGN);
    return sigprocmask(SIG_BLOCK, &stopSignals, &waitMask) == 0 && sigdelset(&waitMask, SIGINT) == 0 &&
           sigdelset(&waitMask, SIGTERM) == 0 && sigaction(SIGINT, &action, nullptr) == 0 &&
           sigaction(SIGTERM, &action, nullptr) == 0;
}

void emit(std::FILE* stream, const std::string& text)
{
    std::fputs(text.c_str(), stream);
    std::fflush(stream);
}

// The lines about updates and queries are written to stdout's buffer and
// flushed once per batch (see Loop::drain): one write for many lines
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
    bool hold(SteadyClock::time_point due, Endpoint to, const std::vector<std::uint8_t>& bytes)
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
    Loop(int fd, const ServerSettings& settings, DatagramHandler& handler)
        : fd_(fd), format_(settings.format), quiet_(settings.quiet), replyDelay_(settings.replyDelay),
          handler_(handler),
          batch_(static_cast<unsigned>(std::clamp(settings.receiveBatch, 1, kMaxReceiveBatch))),
          buffers_(std::make_unique_for_overwrite<std::uint8_t[]>(batch_ * kBufferSize)), messages_(batch_),
          data_(batch_), senders_(batch_)
    {
        for (std::size_t i = 0; i < batch_; ++i) {
            data_[i] = iovec{buffers_.get() + i * kBufferSize, kBufferSize};
            messages_[i].msg_hdr.msg_iov = &data_[i];
            messages_[i].msg_hdr.msg_iovlen = 1;
        }
    }

    // Handles what is waiting on the socket, then writes out the lines it
    // printed.
    void drain()
    {
        takeWaitingDatagrams();
        std::fflush(stdout);
    }

    void reportSuppressed(bool force)
    {
        if (const std::uint64_t count = problemLines_.takeSuppressed(LineRateLimiter::Clock::now(), force)) {
            emit(stderr, suppressedLine(format_, count));
        }
    }

    // Sends the delayed replies that are due.
    void sendDueReplies()
    {
        const auto now = SteadyClock::now();
        for (const DelayedReplies::Reply* reply; (reply = delayed_.oldest()) != nullptr && reply->due <= now;) {
            ++io_.repliesDelayed;
            sendReply(reply->to, reply->bytes);
            delayed_.release();
        }
    }

    // How long to wait for datagrams: until the next delayed reply is due,
    // and at most `longest`.
    timespec waitTime(std::chrono::nanoseconds longest) const
    {
        if (const DelayedReplies::Reply* next = delayed_.oldest()) {
            longest = std::clamp<std::chrono::nanoseconds>(next->due - SteadyClock::now(), {}, longest);
        }
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(longest);
        return timespec{static_cast<time_t>(seconds.count()), static_cast<long>((longest - seconds).count())};
    }

    // At the stop, what still waits is counted and not sent.
    void discardDelayedReplies() { io_.delayedRepliesDiscarded += delayed_.size(); }

    const IoCounters& ioCounters() const { return io_; }

private:
    // Larger than any UDP datagram over IPv4, so nothing is ever cut.
    static constexpr std::size_t kBufferSize = 65536;
    static constexpr unsigned kDatagramsPerWake = 64;

    // A batch per receive call, at most a bounded number of datagrams, so
    // that a flood cannot keep a stop signal waiting. A batch that comes back
    // short means the queue is empty: back to waiting without another call.
    void takeWaitingDatagrams()
    {
        unsigned handled = 0;
        do {
            const int count = receive();
            if (count <= 0) {
                return;
            }
            for (std::size_t i = 0; i < static_cast<std::size_t>(count); ++i) {
                handler_.prefetch(static_cast<const std::uint8_t*>(data_[i].iov_base), messages_[i].msg_len);
            }
            for (std::size_t i = 0; i < static_cast<std::size_t>(count); ++i) {
                handleDatagram(static_cast<const std::uint8_t*>(data_[i].iov_base), messages_[i].msg_len,
                               endpointOf(senders_[i]));
            }
            handled += static_cast<unsigned>(count);
            if (static_cast<unsigned>(count) < batch_) {
                return;
            }
        } while (handled < kDatagramsPerWake);
    }

    // Takes up to one batch of datagrams without waiting; the count taken,
    // or 0 when there was none or the call failed.
    int receive()
    {
        // The kernel shortens the address lengths it writes; give each
        // slot its full room back.
        for (std::size_t i = 0; i < batch_; ++i) {
            messages_[i].msg_hdr.msg_name = &senders_[i];
            messages_[i].msg_hdr.msg_namelen = sizeof senders_[i];
        }
        const int count = recvmmsg(fd_, messages_.data(), batch_, MSG_DONTWAIT, nullptr);
        if (count < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                ++io_.receiveErrors;
            }
            return 0;
        }
        return count;
    }

    void handleDatagram(const std::uint8_t* bytes, std::size_t size, Endpoint sender)
    {
        const Outcome outcome = handler_.handle(bytes, size, sender, WallClock::now());
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

    void sendReply(Endpoint replyTo, const std::vector<std::uint8_t>& reply)
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
};

} // namespace

int serve(const ServerSettings& settings, DatagramHandler& handler, const StateKeeper* keeper, Shared* shared)
{
    sigset_t waitMask;
    if (!installStopHandlers(waitMask)) {
        std::fprintf(stderr, "marld: cannot install the signal handlers: %s\n", std::strerror(errno));
        return 2;
    }
    // Held while the loop changes what the HTTP side reads; free while it waits.
    std::unique_lock<std::mutex> hold;
    if (shared != nullptr) {
        hold = std::unique_lock(shared->lock);
    }
    handler.setTestAids(settings.testAids);
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

    Loop loop(fd, settings, handler);
    using Steady = std::chrono::steady_clock;
    auto lastSave = Steady::now();
    const auto save = [&] {
        std::string error;
        if (!keeper->save(error)) {
            emit(stderr, "marld: " + error + "\n");
        }
        lastSave = Steady::now();
    };
    int status = 0;
    // Wakes up at least once a second, to report suppressed lines without
    // waiting for the next problem, and as often as the state is to be kept.
    const std::chrono::nanoseconds wakeUp =
        keeper != nullptr ? std::min<std::chrono::nanoseconds>(keeper->interval, std::chrono::seconds(1))
                          : std::chrono::seconds(1);
    while (stopRequested == 0) {
        pollfd ready{fd, POLLIN, 0};
        const timespec wait = loop.waitTime(wakeUp);
        if (hold.owns_lock()) {
            hold.unlock();
        }
        const int result = ppoll(&ready, 1, &wait, &waitMask);
        if (shared != nullptr) {
            hold.lock();
        }
        if (result < 0 && errno != EINTR) {
            std::fprintf(stderr, "marld: waiting for datagrams failed: %s\n", std::strerror(errno));
            status = 1;
            break;
        }
        if (result > 0) {
            loop.drain();
        }
        loop.sendDueReplies();
        if (keeper != nullptr && Steady::now() - lastSave >= keeper->interval) {
            save();
        }
        loop.reportSuppressed(false);
    }
    loop.discardDelayedReplies();
    if (keeper != nullptr) {
        save();
    }
    loop.reportSuppressed(true);
    close(fd);
    if (shared != nullptr) {
        shared->udpSocket = -1;
    }
    emit(stdout, countersReport(settings.format, handler.counters(), loop.ioCounters()));
    return status;
}

} // namespace marld
