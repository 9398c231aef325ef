// Point client: the process-wide socket to the point service, and the
// operations that send point updates and queries through it.

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
#include <string_view>

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

// How long a query waits for its reply: 10 seconds, written as microseconds
// the way the platform's other clients write it.
constexpr suseconds_t kQueryTimeoutMicroseconds = 10000000;
constexpr long kMicrosecondsPerSecond = 1000000;
constexpr long kNanosecondsPerMicrosecond = 1000;
// At most this many stale datagrams are discarded before a query is sent, so
// that a flood cannot hold it up; any left over are told apart by name.
constexpr int kMaxStaleDatagrams = 64;

// One query from just before its send to its end, on its own thread's stack.
// Other threads touch it only under the queries' mutex.
struct Waiter {
    std::string_view name;
    Waiter* next = nullptr;
    // The receiver has handed this query its reply and taken it off the
    // list; the two fields below hold what the reply said.
    bool answered = false;
    std::uint8_t pointIsSet = 0;
    std::uint32_t returnCode = 0;
    // No other query has been in flight since this one was sent, so a reply
    // that names no point can only be this one's.
    bool alone = false;
};

// Queries::occupancy counts listed queries in its low 16 bits and sleeping
// ones above them.
constexpr unsigned kListed = 0x1;
constexpr unsigned kSleeping = 0x10000;
constexpr unsigned kListedMask = 0xffff;

// The queries in flight. Replies that name their point let queries share
// the socket: one query at a time, the receiver, waits on the socket and
// hands each reply to the oldest query waiting for the name it carries; the
// others sleep on `changed` until their reply is handed to them, their
// deadline passes or the receiver's role is free. The library starts no
// thread: a receiver whose query ends hands the role on.
struct Queries {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    // On the monotonic clock, once initialise() has made it anew.
    pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
    // The list, oldest first, and whether one of them receives. Both hold
    // only while occupancy counts a listed query: a lone query may end
    // without the mutex (endAlone), leaving them as they were, and the next
    // query to join starts them afresh.
    Waiter* oldest = nullptr;
    bool receiving = false;
    // Changed under the mutex, but for endAlone's step from one listed query
    // to none.
    std::atomic<unsigned> occupancy{0};
    // A reply has named its point, and none since has come without a name.
    // Until then, and again after a reply without one, queries go one at a
    // time: a reply without a name can then only answer the query in flight.
    // Written under the mutex, by the receiver only.
    std::atomic<bool> namesEchoed{false};
};
constinit Queries marlQueries;
pthread_condattr_t marlMonotonic;

// fork copies the locks as they are. No creation is under way while fork
// runs, so the child finds the set-up lock free and the address whole.
// Queries may be in flight: their threads do not exist in the child, which
// starts with none, fresh query locks and, on its first call, a socket of
// its own. The parent's queries go on and still get their replies.
void lockBeforeFork() { pthread_mutex_lock(&marlSetupMutex); }
void unlockInParent() { pthread_mutex_unlock(&marlSetupMutex); }
void resetInChild()
{
    pthread_mutex_unlock(&marlSetupMutex);
    pthread_mutex_init(&marlQueries.mutex, nullptr);
    pthread_cond_init(&marlQueries.changed, &marlMonotonic);
    marlQueries.occupancy.store(0, std::memory_order_relaxed);
    const int inherited = marlSockfd.exchange(-1, std::memory_order_relaxed);
    marlInheritedSockfd = inherited >= 0 ? inherited : marlInheritedSockfd;
}
[[gnu::constructor]] void initialise()
{
    pthread_condattr_init(&marlMonotonic);
    pthread_condattr_setclock(&marlMonotonic, CLOCK_MONOTONIC);
    pthread_cond_init(&marlQueries.changed, &marlMonotonic);
    pthread_atfork(lockBeforeFork, unlockInParent, resetInChild);
}

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

// Waits up to `timeout` for `fd` to become readable; returns what select
// returns and sets `readable` when `fd` is among the ready. select, as Linux
// has it, leaves in `timeout` what is left of it. select cannot watch a
// descriptor at or above FD_SETSIZE: poll then waits as long, leaves
// `timeout` as it was, and counts as readable what select would (a pending
// error or hang-up too, which the receive then reports).
int waitReadable(int fd, timeval& timeout, bool& readable)
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
    const long microseconds = timeout.tv_sec * kMicrosecondsPerSecond + timeout.tv_usec;
    const int numFd = poll(&watched, 1, static_cast<int>((microseconds + 999) / 1000));
    readable = numFd > 0 && (watched.revents & (POLLIN | POLLERR | POLLHUP)) != 0;
    return numFd;
}

// Discards, without waiting, what is queued on the shared socket before a
// query is sent while none is in flight: none of it can answer this one, it
// is the reply to a query that timed out, or no reply at all.
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

bool sameName(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0;
}

// From here to endAlone, all under the queries' mutex.

void wakeSleepers()
{
    if (marlQueries.occupancy.load(std::memory_order_relaxed) >= kSleeping) {
        pthread_cond_broadcast(&marlQueries.changed);
    }
}

// Sleeps until something changes, or until `deadline` when one is given;
// false once the deadline has passed.
bool sleepUntilChanged(const timespec* deadline)
{
    marlQueries.occupancy.fetch_add(kSleeping, std::memory_order_relaxed);
    const int result = deadline != nullptr
                           ? pthread_cond_timedwait(&marlQueries.changed, &marlQueries.mutex, deadline)
                           : pthread_cond_wait(&marlQueries.changed, &marlQueries.mutex);
    marlQueries.occupancy.fetch_sub(kSleeping, std::memory_order_relaxed);
    return result != ETIMEDOUT;
}

bool anyListed() { return (marlQueries.occupancy.load(std::memory_order_relaxed) & kListedMask) != 0; }

// Lists `me` as the newest query in flight, as soon as the service has shown
// that it echoes names or no other query is in flight; true when `me` takes
// the receiver's role at once. With none in flight, what the socket holds is
// stale, and goes.
bool join(Waiter& me, int fd)
{
    while (!marlQueries.namesEchoed.load(std::memory_order_relaxed) && anyListed()) {
        (void)sleepUntilChanged(nullptr);
    }
    if ((marlQueries.occupancy.fetch_add(kListed, std::memory_order_acq_rel) & kListedMask) == 0) {
        marlQueries.oldest = nullptr;
        marlQueries.receiving = false;
        discardStaleDatagrams(fd);
        me.alone = true;
    } else {
        marlQueries.oldest->alone = false; // only the oldest can have been alone
    }
    Waiter** link = &marlQueries.oldest;
    while (*link != nullptr) {
        link = &(*link)->next;
    }
    *link = &me;
    const bool receives = !marlQueries.receiving;
    marlQueries.receiving = true;
    return receives;
}

// Takes `me` off the list, if it is still on it.
void unlist(const Waiter& me)
{
    for (Waiter** link = &marlQueries.oldest; *link != nullptr; link = &(*link)->next) {
        if (*link == &me) {
            *link = me.next;
            marlQueries.occupancy.fetch_sub(kListed, std::memory_order_relaxed);
            return;
        }
    }
}

// Ends the query `me`: off the list, and the receiver's role free if it held
// it, for another query to take.
void leave(const Waiter& me, bool receiver)
{
    unlist(me);
    marlQueries.receiving = marlQueries.receiving && !receiver;
    wakeSleepers();
}

// Gives `response` to the query it answers: the oldest waiting for the name
// it carries. A reply without a name answers the receiver `me` if no other
// query has been in flight since its send, and none otherwise. Returns the
// query it went to, or null.
const Waiter* handOut(Waiter& me, const marl::ResponseFields& response)
{
    const bool named = !response.pointName.empty();
    const bool nowSideBySide = named && !marlQueries.namesEchoed.load(std::memory_order_relaxed);
    marlQueries.namesEchoed.store(named, std::memory_order_relaxed);
    Waiter* owner = named ? marlQueries.oldest : me.alone ? &me : nullptr;
    while (named && owner != nullptr && !sameName(owner->name, response.pointName)) {
        owner = owner->next;
    }
    if (owner != nullptr) {
        owner->answered = true;
        owner->pointIsSet = response.pointIsSet;
        owner->returnCode = response.returnCode;
        if (owner != &me) {
            unlist(*owner);
        }
    }
    if ((owner != nullptr && owner != &me) || nowSideBySide) {
        wakeSleepers(); // an answer for one of them, or queries free to go side by side
    }
    return owner;
}

// Not under the mutex: ends the receiving query `me` on a reply that names
// it, when it is the only query listed, nobody sleeps and the reply changes
// nothing the mutex guards; false otherwise. The common case, a lone query,
// so takes the mutex once. The list and the receiver's flag are left as they
// stand, to be started afresh by the next query to join.
bool endAlone(Waiter& me, const marl::ResponseFields& response)
{
    unsigned onlyMe = kListed;
    if (!(sameName(response.pointName, me.name) && marlQueries.namesEchoed.load(std::memory_order_relaxed) &&
          marlQueries.occupancy.compare_exchange_strong(onlyMe, 0, std::memory_order_acq_rel))) {
        return false;
    }
    me.pointIsSet = response.pointIsSet;
    me.returnCode = response.returnCode;
    return true;
}

// The monotonic clock's time `timeout` from now.
timespec monotonicAfter(timeval timeout)
{
    constexpr long kNanosecondsPerSecond = kMicrosecondsPerSecond * kNanosecondsPerMicrosecond;
    timespec at{};
    clock_gettime(CLOCK_MONOTONIC, &at);
    at.tv_sec += timeout.tv_sec + timeout.tv_usec / kMicrosecondsPerSecond;
    at.tv_nsec += timeout.tv_usec % kMicrosecondsPerSecond * kNanosecondsPerMicrosecond;
    if (at.tv_nsec >= kNanosecondsPerSecond) {
        ++at.tv_sec;
        at.tv_nsec -= kNanosecondsPerSecond;
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
    const long left = seconds < 0 ? 0
                                  : seconds * kMicrosecondsPerSecond +
                                        (deadline.tv_nsec - now.tv_nsec) / kNanosecondsPerMicrosecond;
    return {0, static_cast<suseconds_t>(left > 0 ? left : 0)};
}

void logTimeout()
{
    MARL_LOG(LOG_CRIT, "read_marl_point times out");
    errno = ETIMEDOUT; // so that a caller can tell "no answer" from a refusal
}

// The receiver's wait, up to `timeout` (left with what remains of it), and
// its receive of one reply into `reply`, read into `response`. False after
// logging why there is none, which fails the receiving query.
bool receiveReply(int fd, timeval& timeout, std::uint8_t (&reply)[MARL_MAX_RESPONSE_LENGTH],
                  marl::ResponseFields& response)
{
    bool readable = false;
    const int numFd = waitReadable(fd, timeout, readable);
    if (numFd < 0) {
        MARL_LOG(LOG_CRIT, "read_marl_point select failed numFd %d errno %s", numFd, std::strerror(errno));
        return false;
    }
    if (numFd == 0) {
        logTimeout();
        return false;
    }
    if (!readable) {
        MARL_LOG(LOG_CRIT, "read_marl_point socket returns invalid numFd %d", numFd);
        return false;
    }
    // The sender is not examined: a central node with several addresses
    // may answer from any of them.
    sockaddr_in sender{};
    socklen_t senderSize = sizeof sender;
    const ssize_t numBytes = recvfrom(fd, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&sender), &senderSize);
    if (numBytes < 0) {
        MARL_LOG(LOG_CRIT, "read_marl_point recv failed, numBytes %d", static_cast<int>(numBytes));
        return false;
    }
    // Only what arrived is read: the reader stops at the received length,
    // and a reply too short to hold the fields read here is refused.
    marl::ByteReader reader(reply, static_cast<std::size_t>(numBytes));
    if (!marl::getResponse(reader, response)) {
        MARL_LOG(LOG_CRIT, "read_marl_point reply too short, numBytes %d", static_cast<int>(numBytes));
        return false;
    }
    if (response.id != MARL_MSG_QUERY_POINT_RESPONSE) {
        MARL_LOG(LOG_CRIT, "read_marl_point unexpected msg %d", static_cast<int>(response.id));
        return false;
    }
    return true;
}

// Waits for the reply to the query `me`, sent on `fd` just now: as the
// receiver on the socket, or for the receiver to hand it over, taking the
// role when it is free. True when `me` was answered; false after logging why
// not. Takes the mutex itself.
bool awaitReply(Waiter& me, int fd, bool receiver)
{
    // A query that receives from the start waits as a lone query always
    // has, 10 seconds written as 0 s and 10,000,000 us; on select it reads
    // the clock only when it must wait again. Any other fixes its deadline
    // now.
    timeval timeout{0, kQueryTimeoutMicroseconds};
    timespec deadline{};
    bool dated = !receiver || fd >= FD_SETSIZE;
    if (dated) {
        deadline = monotonicAfter(timeout);
    }
    for (;;) {
        if (!receiver) {
            pthread_mutex_lock(&marlQueries.mutex);
            while (!me.answered && marlQueries.receiving) {
                if (!sleepUntilChanged(&deadline) && !me.answered) {
                    leave(me, false);
                    pthread_mutex_unlock(&marlQueries.mutex);
                    logTimeout();
                    return false;
                }
            }
            receiver = !me.answered;
            marlQueries.receiving = marlQueries.receiving || receiver;
            pthread_mutex_unlock(&marlQueries.mutex);
            if (!receiver) {
                return true; // handed over, and taken off the list
            }
            timeout = timeLeftUntil(deadline);
        }
        std::uint8_t reply[MARL_MAX_RESPONSE_LENGTH];
        marl::ResponseFields response;
        const bool received = receiveReply(fd, timeout, reply, response);
        if (received && endAlone(me, response)) {
            return true;
        }
        if (!dated) {
            deadline = monotonicAfter(timeout); // what the wait left is what is left
            dated = true;
        }
        pthread_mutex_lock(&marlQueries.mutex);
        const Waiter* owner = received ? handOut(me, response) : nullptr;
        if (!received || owner == &me) {
            leave(me, true);
            pthread_mutex_unlock(&marlQueries.mutex);
            return received;
        }
        pthread_mutex_unlock(&marlQueries.mutex);
        if (owner == nullptr && response.pointName.empty()) {
            MARL_LOG(LOG_WARNING, "read_marl_point discards a reply that names no point while waiting for %s",
                     me.name.data());
        } else if (owner == nullptr) {
            MARL_LOG(LOG_WARNING, "read_marl_point discards a reply for %.*s while waiting for %s",
                     static_cast<int>(response.pointName.size()), response.pointName.data(), me.name.data());
        }
        timeout = timeLeftUntil(deadline);
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
    Waiter me{query.name};
    pthread_mutex_lock(&marlQueries.mutex);
    const bool receiver = join(me, fd);
    pthread_mutex_unlock(&marlQueries.mutex);
    bool answered = false;
    if (sendDatagram(fd, "read_marl_point", pntId, marl::datagramSize(query), query)) {
        answered = awaitReply(me, fd, receiver);
    } else {
        pthread_mutex_lock(&marlQueries.mutex);
        leave(me, receiver);
        pthread_mutex_unlock(&marlQueries.mutex);
    }
    if (!answered) {
        return false;
    }
    // Any code but "invalid point" counts: the service may add codes that
    // still carry a valid state.
    if (me.returnCode == MARL_MSG_RC_INVALID_POINT_ID) {
        MARL_LOG(LOG_CRIT, "read_marl_point invalid point %s", pntId);
        return false;
    }
    *value = me.pointIsSet;
    return true;
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
