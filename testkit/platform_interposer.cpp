// The definitions below replace libc's for the whole test process; see
// platform_interposer.h.
#undef _FORTIFY_SOURCE

#include "platform_interposer.h"

#include "cmnHal.h"

#include <dlfcn.h>
#include <netdb.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

namespace marltest {

namespace {

std::mutex logMutex;
std::vector<LogLine> logLines;

// Set while the interposer itself allocates (capturing a log line), and for
// good in a test's helper threads: only the code under test counts.
thread_local bool notCounted = false;

std::atomic<int> allocationFailsAt{0};
std::atomic<int> allocationCount{0};

// dlsym may itself allocate before the real allocator is known; those few
// early requests come from this arena, zero-filled, and are never freed.
alignas(std::max_align_t) unsigned char bootArena[8192];
std::size_t bootUsed = 0;

// The real allocator function `name`, looked up on first use; null while
// that look-up itself allocates, which the boot arena then serves.
template <typename Fn>
Fn realAllocator(const char* name)
{
    static std::atomic<Fn> real{nullptr};
    static thread_local bool resolving = false;
    if (real == nullptr && !resolving) {
        resolving = true;
        real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
        resolving = false;
    }
    return real;
}

// One allocation, failed and counted as the test asked.
template <typename Fn, typename... Args>
void* allocate(const char* name, std::size_t bytes, Args... args)
{
    const Fn fn = realAllocator<Fn>(name);
    if (fn == nullptr) {
        const std::size_t start = bootUsed;
        bootUsed += (bytes + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
        return bootUsed <= sizeof bootArena ? bootArena + start : nullptr;
    }
    if (!notCounted && allocationFailsAt > 0 && ++allocationCount == allocationFailsAt) {
        errno = ENOMEM;
        return nullptr;
    }
    return fn(args...);
}

void captureLog(int priority, const char* format, va_list args)
{
    char text[4096];
    std::vsnprintf(text, sizeof text, format, args);
    const bool wasNotCounted = std::exchange(notCounted, true);
    std::lock_guard lock(logMutex);
    logLines.push_back({priority, text});
    notCounted = wasNotCounted;
}

} // namespace

std::ostream& operator<<(std::ostream& out, const LogLine& line)
{
    return out << "{priority " << line.priority << ", \"" << line.text << "\"}";
}

Platform& platform()
{
    static Platform instance;
    return instance;
}

void Platform::failAllocation(int nth)
{
    allocationCount = 0;
    allocationFailsAt = nth;
}

int Platform::allocationsCounted() const { return allocationCount; }

void Platform::ignoreAllocationsOfThisThread() { notCounted = true; }

std::vector<LogLine> Platform::logs() const
{
    std::lock_guard lock(logMutex);
    return logLines;
}

void Platform::clearLogs()
{
    std::lock_guard lock(logMutex);
    logLines.clear();
}

} // namespace marltest

using marltest::platform;

// The real function `name`, of the type of the declaration of `name`.
#define REAL(name) static const auto real = reinterpret_cast<decltype(&::name)>(dlsym(RTLD_NEXT, #name))

// Counts a call of `kind`; true, with errno set, when the test armed a fault
// for it.
static bool failed(marltest::Call kind)
{
    ++platform().calls[kind];
    const int error = platform().failNext[kind].exchange(0);
    errno = error != 0 ? error : errno;
    return error != 0;
}

extern "C" {

int socket(int domain, int type, int protocol) noexcept
{
    REAL(socket);
    return failed(marltest::kSocket) ? -1 : real(domain, type, protocol);
}

ssize_t sendto(int fd, const void* buffer, size_t length, int flags, const sockaddr* address,
               socklen_t addressLength)
{
    REAL(sendto);
    return failed(marltest::kSendto) ? -1 : real(fd, buffer, length, flags, address, addressLength);
}

int select(int count, fd_set* readable, fd_set* writable, fd_set* failedSet, timeval* timeout)
{
    REAL(select);
    if (timeout != nullptr) {
        long unset = -1;
        platform().firstSelectMicroseconds.compare_exchange_strong(unset, timeout->tv_usec);
        platform().lastSelectSeconds = timeout->tv_sec;
        platform().lastSelectMicroseconds = timeout->tv_usec;
    }
    if (failed(marltest::kSelect)) {
        return -1;
    }
    if (const int unready = platform().selectReturnsUnready.exchange(-1); unready >= 0) {
        FD_ZERO(readable);
        return unready;
    }
    return real(count, readable, writable, failedSet, timeout);
}

ssize_t recvfrom(int fd, void* buffer, size_t length, int flags, sockaddr* address, socklen_t* addressLength)
{
    REAL(recvfrom);
    return failed(marltest::kRecvfrom) ? -1 : real(fd, buffer, length, flags, address, addressLength);
}

ssize_t recv(int fd, void* buffer, size_t length, int flags)
{
    REAL(recv);
    if (platform().strayDatagrams > 0 && length >= 3) {
        --platform().strayDatagrams;
        std::memset(buffer, 0, 3);
        return 3;
    }
    return real(fd, buffer, length, flags);
}

// What recvfrom and recv become where the compiler cannot prove that the
// length fits the buffer (sanitizer builds); they abort on an overflow, as
// the real ones.
ssize_t __recvfrom_chk(int fd, void* buffer, size_t length, size_t bufferSize, int flags, sockaddr* address,
                       socklen_t* addressLength)
{
    return length > bufferSize ? (std::abort(), -1) : recvfrom(fd, buffer, length, flags, address, addressLength);
}

ssize_t __recv_chk(int fd, void* buffer, size_t length, size_t bufferSize, int flags)
{
    return length > bufferSize ? (std::abort(), -1) : recv(fd, buffer, length, flags);
}

struct servent* getservbyname(const char* name, const char* protocol)
{
    REAL(getservbyname);
    ++platform().calls[marltest::kServiceLookup];
    static char udp[] = "udp";
    static char* noAliases[] = {nullptr};
    static servent entry{};
    const int port = platform().serviceEntryPort;
    entry = {const_cast<char*>(name), noAliases, htons(static_cast<std::uint16_t>(port)), udp};
    return port < 0 ? real(name, protocol) : port == 0 ? nullptr : &entry;
}

int cmn_hal_getCentralAddress(struct in_addr* address)
{
    REAL(cmn_hal_getCentralAddress);
    ++platform().calls[marltest::kCentralAddress];
    return real(address);
}

void* malloc(size_t size) noexcept
{
    return marltest::allocate<void* (*)(size_t)>("malloc", size, size);
}

void* calloc(size_t count, size_t size) noexcept
{
    return marltest::allocate<void* (*)(size_t, size_t)>("calloc", count * size, count, size);
}

void free(void* pointer) noexcept
{
    // A block freed while free itself is looked up stays allocated, harmlessly.
    const auto fn = marltest::realAllocator<void (*)(void*)>("free");
    const auto* bytes = static_cast<const unsigned char*>(pointer);
    using marltest::bootArena;
    if (fn != nullptr && (bytes < bootArena || bytes >= bootArena + sizeof bootArena)) {
        fn(pointer);
    }
}

// Both capture the line instead of logging it: syslog, and what syslog
// becomes with _FORTIFY_SOURCE.
#define CAPTURE_LOG(priority, format)              \
    va_list args;                                  \
    va_start(args, format);                        \
    marltest::captureLog(priority, format, args);  \
    va_end(args)

void syslog(int priority, const char* format, ...) { CAPTURE_LOG(priority, format); }
void __syslog_chk(int priority, int, const char* format, ...) { CAPTURE_LOG(priority, format); }

} // extern "C"

// C++ allocations go through the malloc and free above, so that they count
// and fail like the C ones in every build: the sanitizer runtimes and
// valgrind would otherwise serve operator new themselves.
void* operator new(std::size_t size)
{
    if (void* block = std::malloc(size != 0 ? size : 1)) {
        return block;
    }
    throw std::bad_alloc();
}

void operator delete(void* block) noexcept { std::free(block); }

void operator delete(void* block, std::size_t) noexcept { std::free(block); }
