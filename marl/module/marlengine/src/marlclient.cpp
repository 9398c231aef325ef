// Point client: the process-wide socket to the point service and the
// operations that send point updates through it.

#include "marlclient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "card/cardinetPortNumbersPlatform.h"
#include "cmnHal.h"
#include "marlLog.h"
#include "marlRecords.h"
#include "noCancellation.h"

namespace {

// The shared socket, -1 until one has been created. It is published with
// release order after marlServerAddr has been filled in, so a thread that
// reads a descriptor other than -1 (acquire) also sees the finished address
// and may use both without a lock.
std::atomic<int> marlSockfd{-1};
sockaddr_in marlServerAddr{};
// In a child made by fork, the socket it inherited (-1 once closed or when
// there was none): parent and child must not read each other's replies. The
// child gets a socket of its own but keeps its parent's address.
int marlInheritedSockfd = -1;

// Serialises only the one-time creation, so that first calls made at the same
// moment create one socket and look the address up once. Once the socket
// exists no call takes it. A plain pthread mutex keeps the library free of the
// C++ runtime.
pthread_mutex_t marlSetupMutex = PTHREAD_MUTEX_INITIALIZER;

// Queries share the one socket: without this, two threads waiting at once
// could each take the other's reply. Held from a query's send until its reply
// is read (at most the 10-second wait); updates never take it.
pthread_mutex_t marlQueryMutex = PTHREAD_MUTEX_INITIALIZER;

// How long a query waits for its reply: 10 seconds, written as microseconds
// the way the platform's other clients write it.
constexpr suseconds_t kQueryTimeoutMicroseconds = 10000000;
// At most this many stale datagrams are discarded before a query is sent, so
// that a flood cannot hold it up; any left over are told apart by name.
constexpr int kMaxStaleDatagrams = 64;

// fork copies the locks as they are. No creation is under way while fork
// runs, so the child finds the set-up lock free and the address whole. A
// query may be: its thread does not exist in the child, which starts with
// the query lock free and, on its first call, a socket of its own. The
// parent's query goes on and still gets its reply.
void lockBeforeFork() { pthread_mutex_lock(&marlSetupMutex); }
void unlockInParent() { pthread_mutex_unlock(&marlSetupMutex); }
void resetInChild()
{
    pthread_mutex_unlock(&marlSetupMutex);
    pthread_mutex_init(&marlQueryMutex, nullptr);
    const int inherited = marlSockfd.exchange(-1, std::memory_order_relaxed);
    marlInheritedSockfd = inherited >= 0 ? inherited : marlInheritedSockfd;
}
[[gnu::constructor]] void registerForkHandlers() { pthread_atfork(lockBeforeFork, unlockInParent, resetInChild); }

// Creates the shared socket and caches the service's address; returns the
// descriptor, or -1 after logging why the socket could not be created.
int createSharedSocket()
{
    const marl::NoCancellation deferred;
    pthread_mutex_lock(&marlSetupMutex);
    int fd = marlSockfd.load(std::memory_order_relaxed);
    if (fd == -1) {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        if (fd < 0) {
            MARL_LOG(LOG_CRIT, "setup_marl_socket remote socket creation failed fd %d errno %s", fd, std::strerror(errno));
        } else {
            // Programs that the process executes must not inherit the socket.
            // This cannot fail on a descriptor just made.
            (void)fcntl(fd, F_SETFD, FD_CLOEXEC);
            if (marlInheritedSockfd >= 0) {
                close(marlInheritedSockfd);
                marlInheritedSockfd = -1;
            } else {
                std::memset(&marlServerAddr, 0, sizeof marlServerAddr);
                marlServerAddr.sin_family = AF_INET;
                // The platform reports a bad configuration through its result, but
                // still writes an address; the service is then simply unreachable.
                (void)cmn_hal_getCentralAddress(&marlServerAddr.sin_addr);
                marlServerAddr.sin_port = static_cast<in_port_t>(getportbyname(MARL_SERVICE_NAME));
            }
            marlSockfd.store(fd, std::memory_order_release);
        }
    }
    pthread_mutex_unlock(&marlSetupMutex);
    return fd;
}

class LockGuard {
public:
    explicit LockGuard(pthread_mutex_t& mutex) : mutex_(mutex) { pthread_mutex_lock(&mutex_); }
    ~LockGuard() { pthread_mutex_unlock(&mutex_); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    pthread_mutex_t& mutex_;
};

// The shared socket's descriptor, created on the first call; -1 after
// logging why it could not be created. Once it exists, marlServerAddr holds
// the service's address, which no one changes again.
[[gnu::always_inline]] inline int sharedSocket()
{
    const int fd = marlSockfd.load(std::memory_order_acquire);
    return fd != -1 ? fd : createSharedSocket();
}

// Writes a datagram of the type given, `length` bytes of it.
using DatagramWriter = bool (*)(marl::ByteWriter&, const void* datagram, std::size_t length);
template <typename Datagram>
bool putInto(marl::ByteWriter& writer, const void* datagram, std::size_t length)
{
    return marl::putDatagram(writer, *static_cast<const Datagram*>(datagram), length);
}

// Sends one datagram of `length` bytes to the service on `fd`: allocates the
// buffer, has `put` write `datagram` into it through a writer bounded by
// `length`, sends it whole and releases it on every path. `operation` and
// `pntId` name the failing call in the send failure's log line. One function
// for every datagram, with the writer passed in, keeps one copy of the code.
bool sendDatagram(int fd, const char* operation, const char* pntId, std::size_t length, DatagramWriter put,
                  const void* datagram)
{
    auto* buffer = static_cast<std::uint8_t*>(std::malloc(length));
    if (buffer == nullptr) {
        MARL_LOG(LOG_CRIT, "Unable to allocate buffer");
        return false;
    }
    marl::ByteWriter writer(buffer, length);
    if (!put(writer, datagram, length)) {
        // Only a sizing mistake of ours can get here: the buffer is made to fit.
        MARL_LOG(LOG_CRIT, "%s: message does not fit its %zu-byte buffer pntId %s", operation, length, pntId);
        std::free(buffer);
        return false;
    }
    const ssize_t sent =
        sendto(fd, buffer, length, 0, reinterpret_cast<const sockaddr*>(&marlServerAddr), sizeof marlServerAddr);
    const int sendErrno = sent == -1 ? errno : 0; // before free, which may set it
    std::free(buffer);
    if (sent == -1) {
        MARL_LOG(LOG_CRIT, "%s sendto failed %s pntId %s", operation, std::strerror(sendErrno), pntId);
        return false;
    }
    // A short send still counts: a datagram socket sends all or nothing.
    return true;
}

template <typename Datagram>
bool sendDatagram(int fd, const char* operation, const char* pntId, std::size_t length, const Datagram& datagram)
{
    return sendDatagram(fd, operation, pntId, length, putInto<Datagram>, &datagram);
}

// Steps that the operations share, each with its one log line; the
// operation's name goes into the lines that carry it. The checks are inlined
// and their refusals are not: the common case pays for no call.

[[gnu::cold]] bool refuseName(const char* operation, const char* pntId)
{
    if (pntId == nullptr) {
        MARL_LOG(LOG_CRIT, "%s: Point ID is a null pointer", operation);
    } else {
        MARL_LOG(LOG_CRIT, "%s: pntId is empty. Its address is %p", operation, static_cast<const void*>(pntId));
    }
    return false;
}

// True for a non-empty name; otherwise logs why the name is refused.
[[nodiscard, gnu::always_inline]] inline bool acceptablePointName(const char* operation, const char* pntId)
{
    return (pntId != nullptr && pntId[0] != '\0') || refuseName(operation, pntId);
}

[[gnu::cold]] int noService()
{
    MARL_LOG(LOG_CRIT, "Failed to setup marl socket");
    return -1;
}

// The shared socket, or -1 after logging.
[[nodiscard, gnu::always_inline]] inline int reachService()
{
    const int fd = sharedSocket();
    return fd >= 0 ? fd : noService();
}

[[gnu::cold]] bool tooLong()
{
    MARL_LOG(LOG_CRIT, "Maximum message length exceeded");
    return false;
}

// True when an update datagram of `length` bytes may be sent; the length is
// checked in size_t, before it is narrowed into the 32-bit length field.
[[nodiscard, gnu::always_inline]] inline bool withinUpdateLimit(std::size_t length)
{
    return length <= MARL_MAX_UPDATE_MSG_LENGTH || tooLong();
}

} // namespace

extern "C" bool setup_marl_socket(int* sockfd, sockaddr_in* serverAddr, int* sizeAddr)
{
    if (sockfd == nullptr || serverAddr == nullptr || sizeAddr == nullptr) {
        const marl::NoCancellation deferred;
        MARL_LOG(LOG_ERR, "%s: Invalid input parameter", "setup_marl_socket");
        return false;
    }
    const int fd = sharedSocket();
    if (fd < 0) {
        return false;
    }
    *sockfd = fd;
    *serverAddr = marlServerAddr;
    *sizeAddr = static_cast<int>(sizeof marlServerAddr);
    return true;
}

extern "C" bool update_marl_point(const char* pntId, uint8_t value)
{
    const marl::NoCancellation deferred;
    if (!acceptablePointName("update_marl_point", pntId)) {
        return false;
    }
    const int fd = reachService();
    if (fd < 0) {
        return false;
    }
    const marl::UpdateDatagram update{pntId, value != 0};
    const std::size_t length = marl::datagramSize(update);
    return withinUpdateLimit(length) && sendDatagram(fd, "update_marl_point", pntId, length, update);
}

namespace {

// The monotonic clock's time `timeout` from now.
timespec monotonicAfter(timeval timeout)
{
    timespec at{};
    clock_gettime(CLOCK_MONOTONIC, &at);
    at.tv_sec += timeout.tv_sec + timeout.tv_usec / 1000000;
    at.tv_nsec += timeout.tv_usec % 1000000 * 1000;
    if (at.tv_nsec >= 1000000000) {
        at.tv_sec += 1;
        at.tv_nsec -= 1000000000;
    }
    return at;
}

// What is left until `deadline`, as select takes it: 0 s and the
// microseconds, never negative. In long, so that no 64-bit division is needed
// on 32-bit hosts.
timeval timeLeftUntil(const timespec& deadline)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long seconds = static_cast<long>(deadline.tv_sec - now.tv_sec);
    const long left = seconds < 0 ? 0 : seconds * 1000000 + (deadline.tv_nsec - now.tv_nsec) / 1000;
    return {0, static_cast<suseconds_t>(left > 0 ? left : 0)};
}

// Waits up to `timeout` for `fd` to become readable; returns what select
// returns and sets `readable` when `fd` is among the ready. select cannot
// watch a descriptor at or above FD_SETSIZE: poll then waits as long.
int waitReadable(int fd, timeval timeout, bool& readable)
{
    if (fd < FD_SETSIZE) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(fd, &set);
        const int numFd = select(fd + 1, &set, nullptr, nullptr, &timeout);
        readable = numFd > 0 && FD_ISSET(fd, &set);
        return numFd;
    }
    pollfd watched{fd, POLLIN, 0};
    // Rounded up, so that the wait never ends before its deadline.
    const int numFd = poll(&watched, 1, static_cast<int>(timeout.tv_sec * 1000 + (timeout.tv_usec + 999) / 1000));
    readable = numFd > 0 && (watched.revents & POLLIN) != 0;
    return numFd;
}

// Discards, without waiting, what is queued on the shared socket before a
// query is sent. Queries are serialised, so none of it can answer this one:
// it is the reply to a query that timed out, or no reply at all.
void discardStaleDatagrams(int fd)
{
    std::uint8_t datagram[MARL_MAX_RESPONSE_LENGTH];
    for (int taken = 0; taken < kMaxStaleDatagrams; ++taken) {
        const ssize_t size = recv(fd, datagram, sizeof datagram, MSG_DONTWAIT);
        if (size < 0) {
            return; // nothing is left; any other failure the query's own receive reports
        }
        marl::ByteReader reader(datagram, static_cast<std::size_t>(size));
        marl::ResponseFields response;
        if (!marl::getResponse(reader, response) || response.id != MARL_MSG_QUERY_POINT_RESPONSE) {
            MARL_LOG(LOG_WARNING, "read_marl_point discards a stale datagram of %d bytes", static_cast<int>(size));
        } else if (response.pointName.empty()) {
            MARL_LOG(LOG_WARNING, "read_marl_point discards a late reply that names no point");
        } else {
            MARL_LOG(LOG_WARNING, "read_marl_point discards a late reply for %.*s",
                     static_cast<int>(response.pointName.size()), response.pointName.data());
        }
    }
}

} // namespace

extern "C" bool read_marl_point(const char* pntId, uint8_t* value)
{
    const marl::NoCancellation deferred;
    if (pntId == nullptr || value == nullptr) {
        MARL_LOG(LOG_CRIT, "read_marl_point: Null pointer detected: pntId=%p value=%p", static_cast<const void*>(pntId), static_cast<void*>(value));
        return false;
    }
    if (!acceptablePointName("read_marl_point", pntId)) {
        return false;
    }
    const int fd = sharedSocket();
    if (fd < 0) {
        return false; // the socket's creation said why
    }
    const marl::QueryDatagram query{pntId};
    LockGuard oneQueryAtATime(marlQueryMutex);
    discardStaleDatagrams(fd);
    if (!sendDatagram(fd, "read_marl_point", pntId, marl::datagramSize(query), query)) {
        return false;
    }

    // One deadline for the query: a reply for another point is discarded and
    // the wait goes on for what is left of the 10 seconds.
    timeval timeout{0, kQueryTimeoutMicroseconds};
    const timespec deadline = monotonicAfter(timeout);
    for (;;) {
        bool readable = false;
        const int numFd = waitReadable(fd, timeout, readable);
        if (numFd < 0) {
            MARL_LOG(LOG_CRIT, "read_marl_point select failed numFd %d errno %s", numFd, std::strerror(errno));
            return false;
        }
        if (numFd == 0) {
            MARL_LOG(LOG_CRIT, "read_marl_point times out");
            errno = ETIMEDOUT; // so that a caller can tell "no answer" from a refusal
            return false;
        }
        if (!readable) {
            MARL_LOG(LOG_CRIT, "read_marl_point socket returns invalid numFd %d", numFd);
            return false;
        }

        // The sender is not examined: a central node with several addresses
        // may answer from any of them.
        std::uint8_t reply[MARL_MAX_RESPONSE_LENGTH];
        sockaddr_in sender{};
        socklen_t senderSize = sizeof sender;
        const ssize_t numBytes =
            recvfrom(fd, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&sender), &senderSize);
        if (numBytes < 0) {
            MARL_LOG(LOG_CRIT, "read_marl_point recv failed, numBytes %d", static_cast<int>(numBytes));
            return false;
        }
        // Only what arrived is read: the reader stops at the received length,
        // and a reply too short to hold the fields read here is refused.
        marl::ByteReader reader(reply, static_cast<std::size_t>(numBytes));
        marl::ResponseFields response;
        if (!marl::getResponse(reader, response)) {
            MARL_LOG(LOG_CRIT, "read_marl_point reply too short, numBytes %d", static_cast<int>(numBytes));
            return false;
        }
        const std::uint32_t id = response.id;
        if (id != MARL_MSG_QUERY_POINT_RESPONSE) {
            MARL_LOG(LOG_CRIT, "read_marl_point unexpected msg %d", static_cast<int>(id));
            return false;
        }
        // A reply that names no point is taken, for services that do not
        // echo the name.
        if (!response.pointName.empty() && response.pointName != pntId) {
            MARL_LOG(LOG_WARNING, "read_marl_point discards a reply for %.*s while waiting for %s",
                     static_cast<int>(response.pointName.size()), response.pointName.data(), pntId);
            timeout = timeLeftUntil(deadline);
            continue;
        }
        // Any code but "invalid point" counts: the service may add codes that
        // still carry a valid state.
        if (response.returnCode == MARL_MSG_RC_INVALID_POINT_ID) {
            MARL_LOG(LOG_CRIT, "read_marl_point invalid point %s", pntId);
            return false;
        }
        *value = response.pointIsSet;
        return true;
    }
}

extern "C" bool update_marl_point_ext(const char* pntId, uint8_t value, const t_threshold_info* thresholdInfo,
                                      const char* monitoredAttributes, const char* serviceUser,
                                      const char* serviceProvider, const char* securityAlarmDetector,
                                      const char* wildChar1, const char* wildChar2)
{
    const marl::NoCancellation deferred;
    MARL_LOG(LOG_INFO, "%s: update the marl point with runtime info", "update_marl_point_ext");
    if (!acceptablePointName("update_marl_point_ext", pntId)) {
        return false;
    }
    const marl::DynamicInfoView info{
        thresholdInfo, {monitoredAttributes, serviceUser, serviceProvider, securityAlarmDetector, wildChar1, wildChar2}};
    if (!marl::carriesRuntimeInfo(info)) {
        // The service then sees a plain update, as from an older caller.
        MARL_LOG(LOG_INFO, "%s: no runtime info, call update_marl_point instead", "update_marl_point_ext");
        return update_marl_point(pntId, value);
    }
    const int fd = reachService();
    if (fd < 0) {
        return false;
    }
    const marl::UpdateDatagram update{pntId, value != 0, &info};
    const std::size_t length = marl::datagramSize(update);
    return withinUpdateLimit(length) && sendDatagram(fd, "update_marl_point_ext", pntId, length, update);
}
