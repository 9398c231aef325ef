#include "service.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <span>

#include "eventFormat.h"
#include "eventLoop.h"
#include "lineRateLimiter.h"
#include "lossWatch.h"
#ifdef MARLD_ALERTS
#include "alerts.h"
#endif
#include "systemd.h"
#ifdef MARLD_HTTP
#include "httpServer.h"
#endif
#ifdef MARLD_STATE_FILE
#include "stateFile.h"
#endif

namespace marld {

namespace {

using SteadyClock = EventLoop::Clock;

// How soon what changed goes to the state file's writer: a crash or kill -9
// loses at most about this much.
constexpr std::chrono::milliseconds kSaveInterval{100};
constexpr std::chrono::milliseconds kSaveRetry{1};
// How often the kernel's drops are read.
constexpr std::chrono::seconds kWatchInterval{1};
// How often systemd is told marld's status, at the most.
constexpr std::chrono::seconds kStatusInterval{5};
// Batches taken at one wake, at most, and for how long, before the loop's
// other work gets its turn; the socket's are taken first at every wake.
constexpr int kBatchesPerWake = 8;
constexpr std::chrono::microseconds kReceiveBudget{500};
// Larger than any UDP datagram over IPv4, so nothing is ever cut.
constexpr std::size_t kBufferSize = 65536;
// Buffers a power of two apart would all start in the same cache set, and
// the headers of a batch would evict one another between the copy and the
// read; each starts five cache lines further along instead.
constexpr std::size_t kBufferStride = kBufferSize + 5 * 64;

void emit(std::FILE* stream, const std::string& text)
{
    std::fputs(text.c_str(), stream);
    std::fflush(stream);
}

// The system's cap on receive buffers for processes without CAP_NET_ADMIN,
// as its text; "unknown" when it cannot be read.
std::string receiveBufferCap()
{
    std::ifstream file("/proc/sys/net/core/rmem_max");
    std::string cap;
    return file >> cap ? cap : "unknown";
}

// Gives the socket a receive buffer of `bytes`: past net.core.rmem_max where
// marld has the right (SO_RCVBUFFORCE), else as large as that cap allows,
// with a line that names what it got. A socket systemd passed was sized by
// its unit and is only ever grown. False when the buffer cannot be set.
bool sizeReceiveBuffer(int fd, int bytes, bool passed)
{
    // The kernel keeps (and reports) twice what it is given: the other half
    // is its own bookkeeping.
    const auto held = [fd] {
        int doubled = 0;
        socklen_t size = sizeof doubled;
        return getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &doubled, &size) == 0 ? doubled / 2 : 0;
    };
    if (passed && held() >= bytes) {
        return true;
    }
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0 &&
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0) {
        return false;
    }
    if (const int got = held(); got < bytes) {
        std::fprintf(stderr,
                     "marld: the receive buffer holds %d bytes, not the %d asked for: a storm of updates may be lost; "
                     "raise net.core.rmem_max (now %s) or give marld CAP_NET_ADMIN\n",
                     got, bytes, receiveBufferCap().c_str());
    }
    return true;
}

// The socket to serve, bound to `at` unless systemd passed one (`passed`),
// non-blocking, with its receive buffer sized, and the address it has; -1
// after a message on stderr.
int openSocket(int passed, Endpoint at, int receiveBuffer, Endpoint& bound)
{
    const int fd = passed >= 0 ? passed : socket(at.address.any.sa_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    socklen_t boundSize = sizeof bound.address;
    const char* failed = fd < 0 ? "create a UDP socket for" : nullptr;
    if (failed == nullptr && !sizeReceiveBuffer(fd, receiveBuffer, passed >= 0)) {
        failed = "set the receive buffer of";
    } else if (failed == nullptr && passed < 0 && bind(fd, &at.address.any, at.size()) != 0) {
        failed = "bind to";
    } else if (failed == nullptr && getsockname(fd, &bound.address.any, &boundSize) != 0) {
        failed = "read the address of";
    }
    if (failed != nullptr) {
        std::fprintf(stderr, "marld: cannot %s %s: %s\n", failed, passed >= 0 ? "the socket systemd passed" : at.text().c_str(),
                     std::strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

// A reply that --reply-delay holds back. The delay being the same for all,
// the order they came in is the order they fall due.
struct DelayedReply {
    SteadyClock::time_point due;
    Endpoint to;
    std::vector<std::uint8_t> bytes;
};

class Service {
public:
    Service(const Options& options, int fd, DatagramHandler& handler, Counters& counters, Journal& journal,
            StateWriter* writer, EventLoop& loop)
        : options_(options), fd_(fd), handler_(handler), counters_(counters), journal_(journal), writer_(writer),
          loop_(loop), batch_(static_cast<std::size_t>(options.receiveBatch)),
          buffers_(std::make_unique_for_overwrite<std::uint8_t[]>(batch_ * kBufferStride)), messages_(batch_),
          data_(batch_), senders_(batch_), datagrams_(batch_), replyTimer_(loop.timer([this] { sendDueReplies(); })),
          saveTimer_(loop.timer([this] { save(); })), linesTimer_(loop.timer([this] { reportSuppressed(); }))
    {
        for (std::size_t i = 0; i < batch_; ++i) {
            data_[i] = iovec{buffers_.get() + i * kBufferStride, kBufferSize};
            messages_[i].msg_hdr.msg_iov = &data_[i];
            messages_[i].msg_hdr.msg_iovlen = 1;
        }
    }

    // Takes what the socket holds, a batch at a time, up to kBatchesPerWake.
    // False, after a message, when receiving failed for a reason that would
    // not go away.
    bool receive()
    {
        const auto end = SteadyClock::now() + kReceiveBudget;
        for (int taken = 0; taken < kBatchesPerWake && (taken == 0 || SteadyClock::now() < end); ++taken) {
            // The kernel shortens the address lengths it writes; give each
            // slot its full room back.
            for (std::size_t i = 0; i < batch_; ++i) {
                messages_[i].msg_hdr.msg_name = &senders_[i].address;
                messages_[i].msg_hdr.msg_namelen = sizeof senders_[i].address;
            }
            const int count = recvmmsg(fd_, messages_.data(), static_cast<unsigned>(batch_), MSG_DONTWAIT, nullptr);
            if (count < 0 && (errno == EBADF || errno == ENOTSOCK || errno == EFAULT || errno == EINVAL)) {
                std::fprintf(stderr, "marld: receiving datagrams failed: %s\n", std::strerror(errno));
                return false;
            }
            if (count < 0) {
                counters_.add(Count::receiveErrors, errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : 1);
                return true;
            }
            handle(static_cast<std::size_t>(count));
            if (static_cast<std::size_t>(count) < batch_) {
                return true;
            }
        }
        return true;
    }

    // Runs after every batch: the alerts take what changed.
    std::function<void()> afterBatch;

    // At the stop: the replies still waiting are counted and not sent (sent
    // early, they would not test a delay), what changed goes to the writer,
    // and the suppressed lines are told.
    void finish()
    {
        counters_.add(Count::replyDelayDiscarded, delayed_.size());
        save(true);
        reportSuppressed();
    }

private:
    void handle(std::size_t count)
    {
        for (std::size_t i = 0; i < count; ++i) {
            datagrams_[i] = {static_cast<const std::uint8_t*>(data_[i].iov_base), messages_[i].msg_len, senders_[i]};
        }
        // One reading of the clock for the batch: its datagrams arrived
        // together, as far as a point's time of change can tell.
        handler_.handle(std::span(datagrams_.data(), count), WallClock::now(), [this](std::size_t i, const Outcome& outcome) {
            const auto* query = std::get_if<QueryAnswered>(&outcome);
            if (query != nullptr && options_.replyDelay.count() == 0) {
                sendReply(query->replyTo, query->reply);
            } else if (query != nullptr && !holdReply(*query)) {
                counters_.add(Count::replyDelayOverflow);
            }
            if (std::holds_alternative<Dropped>(outcome)) {
                problemLine(outcomeLine(options_.format, outcome, datagrams_[i].size, datagrams_[i].sender));
            } else if (!options_.quiet) {
                std::fputs(outcomeLine(options_.format, outcome, datagrams_[i].size, datagrams_[i].sender).c_str(), stdout);
            }
        });
        std::fflush(stdout); // the lines of a batch go out in one write
        if (afterBatch) {
            afterBatch();
        }
        if (writer_ != nullptr && !loop_.armed(saveTimer_)) {
            loop_.arm(saveTimer_, SteadyClock::now() + kSaveInterval);
        }
    }

    // False, holding nothing, when kMaxDelayedReplies wait already or there
    // is no memory for one more.
    bool holdReply(const QueryAnswered& query)
    {
        try {
            if (delayed_.size() == kMaxDelayedReplies) {
                return false;
            }
            delayed_.push_back({SteadyClock::now() + options_.replyDelay, query.replyTo, {query.reply.begin(), query.reply.end()}});
        } catch (const std::bad_alloc&) {
            return false;
        }
        if (!loop_.armed(replyTimer_)) {
            loop_.arm(replyTimer_, delayed_.front().due);
        }
        return true;
    }

    void sendDueReplies()
    {
        for (const auto now = SteadyClock::now(); !delayed_.empty() && delayed_.front().due <= now; delayed_.pop_front()) {
            counters_.add(Count::replyDelayed);
            sendReply(delayed_.front().to, delayed_.front().bytes);
        }
        if (!delayed_.empty()) {
            loop_.arm(replyTimer_, delayed_.front().due);
        }
    }

    void sendReply(Endpoint replyTo, std::span<const std::uint8_t> reply)
    {
        if (sendto(fd_, reply.data(), reply.size(), 0, &replyTo.address.any, replyTo.size()) < 0) {
            counters_.add(Count::replyErrors);
            problemLine(replyFailedLine(options_.format, replyTo, std::strerror(errno)));
        }
    }

    // Lines about drops and failed replies share one limit, so that a flood
    // of either cannot flood stderr; what a window holds back is told when
    // it is over.
    void problemLine(const std::string& line)
    {
        if (problemLines_.admit(LineRateLimiter::Clock::now())) {
            emit(stderr, line);
        } else if (!loop_.armed(linesTimer_)) {
            loop_.arm(linesTimer_, problemLines_.windowEnd());
        }
    }

    void reportSuppressed()
    {
        if (const std::uint64_t count = problemLines_.takeSuppressed()) {
            emit(stderr, suppressedLine(options_.format, count));
        }
    }

    // At the stop (`last`), the batch waits for the writer's lock.
    void save([[maybe_unused]] bool last = false)
    {
#ifdef MARLD_STATE_FILE
        if (writer_ != nullptr && !writer_->handFrom(journal_, last)) {
            loop_.arm(saveTimer_, SteadyClock::now() + kSaveRetry);
        }
#endif
    }

    const Options& options_;
    int fd_;
    DatagramHandler& handler_;
    Counters& counters_;
    Journal& journal_;
    StateWriter* writer_;
    EventLoop& loop_;
    std::size_t batch_;
    // Datagram i of a batch: its bytes in data_[i] (kBufferSize bytes of
    // buffers_), its sender in senders_[i], its size in messages_[i].
    std::unique_ptr<std::uint8_t[]> buffers_;
    std::vector<mmsghdr> messages_;
    std::vector<iovec> data_;
    std::vector<Endpoint> senders_;
    std::vector<Datagram> datagrams_;
    LineRateLimiter problemLines_{5, std::chrono::seconds(1)};
    std::deque<DelayedReply> delayed_;
    EventLoop::TimerId replyTimer_, saveTimer_, linesTimer_;
};

} // namespace

int serve(const Options& options, int passed, Endpoint bindTo, int stopSignals, const PointNames& names,
          PointStore& store, Journal& journal, StateWriter* writer)
{
    Counters counters;
    DatagramHandler handler(store, names, counters, journal.keepsAnything() ? &journal : nullptr, options.testAids,
                            options.allow);
    Endpoint bound;
    const int fd = openSocket(passed, bindTo, options.receiveBuffer, bound);
    if (fd < 0) {
        return 2;
    }
    EventLoop loop;
    std::string error;
    std::vector<std::string> warnings; // what the page's banners say
    Service service(options, fd, handler, counters, journal, writer, loop);
    bool failed = false;
    const auto receive = [&](std::uint32_t) {
        failed = !service.receive();
        if (failed) {
            loop.stop();
        }
    };
    bool serving = loop.watch(fd, EPOLLIN, receive, error) &&
                   loop.watch(stopSignals, EPOLLIN, [&](std::uint32_t) { loop.stop(); }, error);
#ifdef MARLD_HTTP
    std::unique_ptr<HttpServer> http;
    if (serving && options.http) {
        http = HttpServer::start(*options.http, HttpView{store, journal, counters, options.testAids.replyCode, fd, &warnings, &loop.turnTimes()}, loop, error);
        serving = http != nullptr;
    }
#endif
#ifdef MARLD_ALERTS
    // Set up before the listening line, so that a script that waits for it
    // is not misled by a marld about to exit on an Alertmanager it cannot find.
    std::unique_ptr<AlertSender> alerts;
    if (serving && !options.alerts.urls.empty()) {
        std::optional<Endpoint> page;
#ifdef MARLD_HTTP
        page = http ? std::optional(http->bound()) : std::nullopt;
#endif
        alerts = AlertSender::start(options.alerts, store, journal, counters, loop, page, error);
        serving = alerts != nullptr;
        service.afterBatch = [&alerts] { alerts->send(); };
    }
#endif
    if (!serving) {
        std::fprintf(stderr, "marld: %s\n", error.c_str());
        return 2;
    }
    emit(stdout, listeningLine(options.format, bound));
#ifdef MARLD_HTTP
    if (http) {
        emit(stdout, listeningLine(options.format, http->bound(), true));
    }
#endif
    // Every second: updates the kernel dropped are told, and the page's
    // banners follow what is wrong.
    LossWatch losses;
    EventLoop::TimerId watch = 0;
    watch = loop.timer([&] {
        if (const std::string line = losses.observe(receiveBufferDrops(fd), WallClock::now()); !line.empty()) {
            emit(stderr, line);
        }
        warnings.clear();
        if (losses.active()) {
            warnings.push_back(losses.warning());
        }
#ifdef MARLD_ALERTS
        if (alerts) {
            alerts->updatesLost(losses);
            const std::vector<std::string> failing = alerts->warnings();
            warnings.insert(warnings.end(), failing.begin(), failing.end());
        }
#endif
        loop.arm(watch, SteadyClock::now() + kWatchInterval);
    });
    loop.arm(watch, SteadyClock::now() + kWatchInterval);
    // Ready once the state file was read and the sockets serve; then a status
    // every few seconds, with the watchdog's ping when systemd watches: sent
    // from the loop, so that a loop that hangs stops the pings.
    const Notifier notifier;
    const auto status = [&] {
        return "STATUS=" + std::to_string(store.size()) + " points, " + std::to_string(store.setCount()) + " set";
    };
    const auto interval = std::min<std::chrono::microseconds>(notifier.watchdogInterval().value_or(kStatusInterval), kStatusInterval);
    EventLoop::TimerId ping = 0;
    ping = loop.timer([&] {
        notifier.send((notifier.watchdogInterval() ? "WATCHDOG=1\n" : "") + status());
        loop.arm(ping, SteadyClock::now() + interval);
    });
    notifier.send("READY=1\n" + status());
    if (notifier.active()) {
        loop.arm(ping, SteadyClock::now() + interval);
    }
    const bool ran = loop.run();
    notifier.send("STOPPING=1");
    service.finish();
    close(fd);
    emit(stdout, countersReport(options.format, counters));
    return ran && !failed ? 0 : 1;
}

} // namespace marld
