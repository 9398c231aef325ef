// Point client: the process-wide socket to the point service and the
// operations that send point updates through it.

#include "marlclient.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "byteStream.h"
#include "card/cardinetPortNumbersPlatform.h"
#include "cmnHal.h"
#include "marlEncDecCore.h"
#include "marlLog.h"
#include "marlRecords.h"

namespace {

// The shared socket, -1 until one has been created. It is published with
// release order after marlServerAddr has been filled in, so a thread that
// reads a descriptor other than -1 (acquire) also sees the finished address
// and may use both without a lock.
std::atomic<int> marlSockfd{-1};
sockaddr_in marlServerAddr{};

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

// Creates the shared socket and caches the service's address; returns the
// descriptor, or -1 after logging why the socket could not be created.
int createSharedSocket()
{
    pthread_mutex_lock(&marlSetupMutex);
    int fd = marlSockfd.load(std::memory_order_relaxed);
    if (fd == -1) {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        if (fd < 0) {
            MARL_LOG(LOG_CRIT, "setup_marl_socket remote socket creation failed fd %d errno %s", fd, std::strerror(errno));
        } else {
            std::memset(&marlServerAddr, 0, sizeof marlServerAddr);
            marlServerAddr.sin_family = AF_INET;
            // The platform reports a bad configuration through its result, but
            // still writes an address; the service is then simply unreachable.
            (void)cmn_hal_getCentralAddress(&marlServerAddr.sin_addr);
            marlServerAddr.sin_port = static_cast<in_port_t>(getportbyname(MARL_SERVICE_NAME));
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

struct ServiceEndpoint {
    int fd;
    sockaddr_in addr;
    int sizeAddr;
};

// Sends one datagram of `length` bytes to the service: allocates the buffer
// zero-filled, has `encode` write the message into it through a writer bounded
// by `length`, sends it whole and releases it on every path. `operation` and
// `pntId` name the failing call in the send failure's log line.
template <typename Encode>
bool sendDatagram(const ServiceEndpoint& to, const char* operation, const char* pntId, std::size_t length,
                  Encode encode)
{
    // malloc and memset rather than calloc: glibc's calloc does not take
    // small blocks from the per-thread cache that malloc and free use, and
    // costs several times their instructions. The buffer is zero-filled all
    // the same. GCC would merge the two back into calloc; the empty asm
    // statement, which may read the new block, keeps them apart.
    auto* buffer = static_cast<std::uint8_t*>(std::malloc(length));
    if (buffer == nullptr) {
        MARL_LOG(LOG_CRIT, "Unable to allocate buffer");
        return false;
    }
    asm volatile("" : : "r"(buffer) : "memory");
    std::memset(buffer, 0, length);
    marl::ByteWriter writer(buffer, length);
    if (!encode(writer)) {
        // Only a sizing mistake of ours can get here: the buffer is made to fit.
        MARL_LOG(LOG_CRIT, "%s: message does not fit its %zu-byte buffer pntId %s", operation, length, pntId);
        std::free(buffer);
        return false;
    }
    const ssize_t sent =
        sendto(to.fd, buffer, length, 0, reinterpret_cast<const sockaddr*>(&to.addr), static_cast<socklen_t>(to.sizeAddr));
    const int sendErrno = errno;
    std::free(buffer);
    if (sent == -1) {
        MARL_LOG(LOG_CRIT, "%s sendto failed %s pntId %s", operation, std::strerror(sendErrno), pntId);
        return false;
    }
    // A short send still counts: a datagram socket sends all or nothing.
    return true;
}

// Steps that both update operations share, each with its one log line; the
// operation's name goes into the lines that carry it.

// True for a non-empty name; otherwise logs why the name is refused.
[[nodiscard]] bool acceptablePointName(const char* operation, const char* pntId)
{
    if (pntId == nullptr) {
        MARL_LOG(LOG_CRIT, "%s: Point ID is a null pointer", operation);
        return false;
    }
    if (pntId[0] == '\0') {
        MARL_LOG(LOG_CRIT, "%s: pntId is empty. Its address is %p", operation, static_cast<const void*>(pntId));
        return false;
    }
    return true;
}

// The shared socket and the service's address, or false after logging.
[[nodiscard]] bool reachService(ServiceEndpoint& service)
{
    if (!setup_marl_socket(&service.fd, &service.addr, &service.sizeAddr)) {
        MARL_LOG(LOG_CRIT, "Failed to setup marl socket");
        return false;
    }
    return true;
}

// True when an update datagram of `length` bytes may be sent. Callers give
// the length in size_t, before it is narrowed into the 32-bit length fields,
// so that nothing wraps into an acceptable size.
[[nodiscard]] bool withinUpdateLimit(std::size_t length)
{
    if (length > MARL_MAX_UPDATE_MSG_LENGTH) {
        MARL_LOG(LOG_CRIT, "Maximum message length exceeded");
        return false;
    }
    return true;
}

} // namespace

extern "C" bool setup_marl_socket(int* sockfd, sockaddr_in* serverAddr, int* sizeAddr)
{
    if (sockfd == nullptr || serverAddr == nullptr || sizeAddr == nullptr) {
        MARL_LOG(LOG_ERR, "%s: Invalid input parameter", "setup_marl_socket");
        return false;
    }
    int fd = marlSockfd.load(std::memory_order_acquire);
    if (fd == -1) {
        fd = createSharedSocket();
        if (fd < 0) {
            return false;
        }
    }
    *sockfd = fd;
    *serverAddr = marlServerAddr;
    *sizeAddr = static_cast<int>(sizeof marlServerAddr);
    return true;
}

extern "C" bool update_marl_point(const char* pntId, uint8_t value)
{
    if (!acceptablePointName("update_marl_point", pntId)) {
        return false;
    }
    ServiceEndpoint service{};
    if (!reachService(service)) {
        return false;
    }
    // A name's length is far below SIZE_MAX, so the sum cannot wrap.
    const std::size_t nameLength = std::strlen(pntId);
    if (!withinUpdateLimit(MARL_UPDATE_POINT_MSG_SIZE + nameLength)) {
        return false;
    }
    t_marl_update_point_msg msg{};
    msg.header.id = MARL_MSG_UPDATE_POINT;
    msg.header.length = static_cast<msgLengthNt>(MARL_UPDATE_POINT_MSG_SIZE + nameLength);
    msg.setPoint = value != 0 ? 1 : 0;
    msg.pointNameLength = static_cast<std::uint32_t>(nameLength);

    return sendDatagram(service, "update_marl_point", pntId, MARL_UPDATE_POINT_MSG_SIZE + nameLength,
                        [&](marl::ByteWriter& writer) {
                            return marl::putUpdatePointMsg(writer, msg) && writer.putBytes(pntId, nameLength);
                        });
}

extern "C" bool read_marl_point(const char* pntId, uint8_t* value)
{
    if (pntId == nullptr || value == nullptr) {
        MARL_LOG(LOG_CRIT, "read_marl_point: Null pointer detected: pntId=%p value=%p", static_cast<const void*>(pntId), static_cast<void*>(value));
        return false;
    }
    if (!acceptablePointName("read_marl_point", pntId)) {
        return false;
    }
    ServiceEndpoint service{};
    if (!setup_marl_socket(&service.fd, &service.addr, &service.sizeAddr)) {
        return false; // setup_marl_socket said why
    }
    if (service.fd >= FD_SETSIZE) {
        // select cannot watch such a descriptor; marking it would write past
        // the descriptor set.
        MARL_LOG(LOG_CRIT, "read_marl_point socket %d is beyond the %d descriptors select can watch", service.fd, FD_SETSIZE);
        return false;
    }
    const std::size_t nameLength = std::strlen(pntId);
    const std::size_t length = MARL_QUERY_POINT_MSG_SIZE + nameLength;
    t_marl_query_point_msg msg{};
    msg.header.id = MARL_MSG_QUERY_POINT;
    msg.header.length = static_cast<msgLengthNt>(length);
    msg.pointNameLength = static_cast<std::uint32_t>(nameLength);

    LockGuard oneQueryAtATime(marlQueryMutex);
    if (!sendDatagram(service, "read_marl_point", pntId, length, [&](marl::ByteWriter& writer) {
            return marl::putQueryPointMsg(writer, msg) && writer.putBytes(pntId, nameLength);
        })) {
        return false;
    }

    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(service.fd, &readable);
    timeval timeout{0, kQueryTimeoutMicroseconds};
    const int numFd = select(service.fd + 1, &readable, nullptr, nullptr, &timeout);
    if (numFd < 0) {
        MARL_LOG(LOG_CRIT, "read_marl_point select failed numFd %d errno %s", numFd, std::strerror(errno));
        return false;
    }
    if (numFd == 0) {
        MARL_LOG(LOG_CRIT, "read_marl_point times out");
        return false;
    }
    if (!FD_ISSET(service.fd, &readable)) {
        MARL_LOG(LOG_CRIT, "read_marl_point socket returns invalid numFd %d", numFd);
        return false;
    }

    std::uint8_t reply[MARL_MAX_RESPONSE_LENGTH];
    sockaddr_in sender{};
    socklen_t senderSize = sizeof sender;
    const ssize_t numBytes =
        recvfrom(service.fd, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&sender), &senderSize);
    if (numBytes < 0) {
        MARL_LOG(LOG_CRIT, "read_marl_point recv failed, numBytes %d", static_cast<int>(numBytes));
        return false;
    }
    // Only what arrived is read: the reader stops at the received length, and
    // a reply too short to hold all three fields is refused.
    marl::ByteReader reader(reply, static_cast<std::size_t>(numBytes));
    std::uint32_t id = 0;
    std::uint8_t pointIsSet = 0;
    std::uint32_t returnCode = 0;
    if (!(reader.getU32(id) && reader.skip(MSG_HEADER_SIZE - 4) && reader.getU8(pointIsSet) && reader.getU32(returnCode))) {
        MARL_LOG(LOG_CRIT, "read_marl_point reply too short, numBytes %d", static_cast<int>(numBytes));
        return false;
    }
    if (id != MARL_MSG_QUERY_POINT_RESPONSE) {
        MARL_LOG(LOG_CRIT, "read_marl_point unexpected msg %d", static_cast<int>(id));
        return false;
    }
    // Any code but "invalid point" counts: the service may add codes that
    // still carry a valid state.
    if (returnCode == MARL_MSG_RC_INVALID_POINT_ID) {
        MARL_LOG(LOG_CRIT, "read_marl_point invalid point %s", pntId);
        return false;
    }
    *value = pointIsSet;
    return true;
}

// ---- Point update with runtime information

namespace {

// Adds without wrapping: a sum too large for size_t stays at SIZE_MAX, which
// no limit accepts.
[[nodiscard]] constexpr std::size_t addSaturating(std::size_t total, std::size_t more)
{
    return more > SIZE_MAX - total ? SIZE_MAX : total + more;
}

// What the sender counts for one text of the block: its two length bytes,
// and the text with its NUL when present, at its full length. The block cuts
// long texts and writes an empty text as an absent one, so the encoded block
// is never longer than this count; the datagram keeps the counted length and
// ends in zero bytes where the block came out shorter.
[[nodiscard]] std::size_t countedTextLength(const char* text)
{
    return 2 + (text != nullptr ? std::strlen(text) + 1 : 0);
}

[[nodiscard]] std::size_t countedBlockLength(const marl::DynamicInfoView& info)
{
    std::size_t length = 2; // thresholdLength
    if (info.thresholdInfo != nullptr) {
        length = addSaturating(length, countedTextLength(info.thresholdInfo->attributeId));
        length = addSaturating(length, countedTextLength(info.thresholdInfo->thresholdLevel.indication));
        length = addSaturating(length, 16); // low, high, observedValue, armTime
    }
    for (const char* text : {info.monitoredAttributes, info.serviceUser, info.serviceProvider,
                             info.securityAlarmDetector, info.additionalText1, info.additionalText2}) {
        length = addSaturating(length, countedTextLength(text));
    }
    return length;
}

[[nodiscard]] bool carriesRuntimeInfo(const marl::DynamicInfoView& info)
{
    return info.thresholdInfo != nullptr || info.monitoredAttributes != nullptr || info.serviceUser != nullptr ||
           info.serviceProvider != nullptr || info.securityAlarmDetector != nullptr ||
           info.additionalText1 != nullptr || info.additionalText2 != nullptr;
}

} // namespace

extern "C" bool update_marl_point_ext(const char* pntId, uint8_t value, const t_threshold_info* thresholdInfo,
                                      const char* monitoredAttributes, const char* serviceUser,
                                      const char* serviceProvider, const char* securityAlarmDetector,
                                      const char* wildChar1, const char* wildChar2)
{
    MARL_LOG(LOG_INFO, "%s: update the marl point with runtime info", "update_marl_point_ext");
    if (!acceptablePointName("update_marl_point_ext", pntId)) {
        return false;
    }
    const marl::DynamicInfoView info{thresholdInfo,         monitoredAttributes, serviceUser, serviceProvider,
                                     securityAlarmDetector, wildChar1,           wildChar2};
    if (!carriesRuntimeInfo(info)) {
        // The service then sees a plain update, as from an older caller.
        MARL_LOG(LOG_INFO, "%s: no runtime info, call update_marl_point instead", "update_marl_point_ext");
        return update_marl_point(pntId, value);
    }
    ServiceEndpoint service{};
    if (!reachService(service)) {
        return false;
    }
    const std::size_t nameLength = std::strlen(pntId);
    const std::size_t length = addSaturating(MARL_UPDATE_POINT_MSG_SIZE + nameLength, countedBlockLength(info));
    if (!withinUpdateLimit(length)) {
        return false;
    }
    t_marl_update_point_msg msg{};
    msg.header.id = MARL_MSG_UPDATE_POINT_EXT;
    msg.header.length = static_cast<msgLengthNt>(length);
    msg.setPoint = value != 0 ? 1 : 0;
    msg.pointNameLength = static_cast<std::uint32_t>(nameLength);

    return sendDatagram(service, "update_marl_point_ext", pntId, length, [&](marl::ByteWriter& writer) {
        return marl::putUpdatePointMsg(writer, msg) && writer.putBytes(pntId, nameLength) &&
               marl::encodeDynamicInfo(writer, info);
    });
}
