// The syslog, calloc and socket definitions below replace libc's for the whole
// test process; see platform_interposer.h.
#undef _FORTIFY_SOURCE

#include "platform_interposer.h"

#include <dlfcn.h>
#include <netdb.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <ostream>
#include <thread>

#include "cmnHal.h"

extern "C" void __syslog_chk(int priority, int flag, const char* format, ...);
extern "C" ssize_t __recvfrom_chk(int fd, void* buffer, size_t length, size_t bufferSize, int flags, sockaddr* address,
                                  socklen_t* addressLength);

namespace marltest {

namespace {

std::mutex& logMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::vector<LogLine>& logLines()
{
    static std::vector<LogLine> lines;
    return lines;
}

// Set while the interposer itself allocates (capturing a log line), so that
// only the code under test counts and fails.
thread_local bool harnessAllocating = false;
// Set for good in a test's own helper threads (ignoreAllocationsOfThisThread).
thread_local bool helperThread = false;

bool counted()
{
    return !harnessAllocating && !helperThread;
}

// Pointers handed out by calloc while tracking is on; a small fixed table
// because calloc itself must not allocate. Guarded by a spin lock rather than
// a mutex: free runs while the sanitizer runtimes start, before they can
// forward pthread calls, and then tracking is off and no lock is taken.
constexpr int kTrackedSlots = 256;
std::atomic<bool> tracking{false};
std::atomic_flag trackLock = ATOMIC_FLAG_INIT;
void* tracked[kTrackedSlots];

class TrackGuard {
public:
    TrackGuard()
    {
        while (trackLock.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~TrackGuard() { trackLock.clear(std::memory_order_release); }
    TrackGuard(const TrackGuard&) = delete;
    TrackGuard& operator=(const TrackGuard&) = delete;
};

void track(void* pointer)
{
    if (!tracking.load() || pointer == nullptr || !counted()) {
        return;
    }
    TrackGuard guard;
    if (void** slot = std::find(tracked, tracked + kTrackedSlots, nullptr); slot != tracked + kTrackedSlots) {
        *slot = pointer;
    }
}

void untrack(void* pointer)
{
    if (!tracking.load() || pointer == nullptr) {
        return;
    }
    TrackGuard guard;
    if (void** slot = std::find(tracked, tracked + kTrackedSlots, pointer); slot != tracked + kTrackedSlots) {
        *slot = nullptr;
    }
}

void captureLog(int priority, const char* format, va_list args)
{
    char text[4096];
    std::vsnprintf(text, sizeof text, format, args);
    harnessAllocating = true;
    {
        std::lock_guard lock(logMutex());
        logLines().push_back({priority, text});
    }
    harnessAllocating = false;
}

template <typename Fn>
Fn next(const char* name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

std::atomic<int> allocationFailsAt{0};
std::atomic<int> allocationCount{0};

// Counts an allocation while a fault is armed; true if this one must fail.
bool allocationMustFail()
{
    const int failAt = allocationFailsAt.load();
    if (failAt <= 0) {
        return false;
    }
    return ++allocationCount == failAt;
}

// dlsym may itself allocate before the real calloc is known; those few early
// requests are served from this arena and never freed.
alignas(std::max_align_t) unsigned char bootArena[8192];
std::size_t bootUsed = 0;

bool inBootArena(const void* pointer)
{
    const auto* bytes = static_cast<const unsigned char*>(pointer);
    return bytes >= bootArena && bytes < bootArena + sizeof bootArena;
}

// malloc and calloc: resolved lazily; while dlsym itself allocates (before
// the real function is known) requests come from the boot arena.
template <typename Fn>
Fn resolveAllocator(std::atomic<Fn>& real, bool& resolving, const char* name)
{
    Fn fn = real.load();
    if (fn == nullptr && !resolving) {
        resolving = true;
        fn = next<Fn>(name);
        real.store(fn);
        resolving = false;
    }
    return fn;
}

void* bootAllocate(size_t bytes)
{
    const std::size_t rounded = (bytes + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
    if (bootUsed + rounded > sizeof bootArena) {
        return nullptr;
    }
    void* block = bootArena + bootUsed;
    bootUsed += rounded;
    return block;
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

void Platform::resetCounters()
{
    socketCalls = 0;
    sendtoCalls = 0;
    selectCalls = 0;
    recvfromCalls = 0;
    serviceLookups = 0;
    centralAddressCalls = 0;
}

void Platform::failAllocation(int nth)
{
    allocationCount = 0;
    allocationFailsAt = nth;
}

int Platform::allocationsCounted() const
{
    return allocationCount.load();
}

void Platform::ignoreAllocationsOfThisThread()
{
    helperThread = true;
}

void Platform::startTrackingAllocations()
{
    TrackGuard guard;
    std::fill(tracked, tracked + kTrackedSlots, nullptr);
    tracking = true;
}

int Platform::outstandingAllocations() const
{
    TrackGuard guard;
    return static_cast<int>(kTrackedSlots - std::count(tracked, tracked + kTrackedSlots, nullptr));
}

std::vector<LogLine> Platform::logs() const
{
    std::lock_guard lock(logMutex());
    return logLines();
}

void Platform::clearLogs()
{
    std::lock_guard lock(logMutex());
    logLines().clear();
}

} // namespace marltest

using marltest::platform;

extern "C" {

int socket(int domain, int type, int protocol) noexcept
{
    static const auto real = marltest::next<int (*)(int, int, int)>("socket");
    ++platform().socketCalls;
    if (const int delay = platform().socketDelayMs.load(); delay > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    }
    return real(domain, type, protocol);
}

ssize_t sendto(int fd, const void* buffer, size_t length, int flags, const sockaddr* address, socklen_t addressLength)
{
    static const auto real =
        marltest::next<ssize_t (*)(int, const void*, size_t, int, const sockaddr*, socklen_t)>("sendto");
    ++platform().sendtoCalls;
    if (const int error = platform().sendtoFailErrno.exchange(0); error != 0) {
        errno = error;
        return -1;
    }
    return real(fd, buffer, length, flags, address, addressLength);
}

int select(int count, fd_set* readable, fd_set* writable, fd_set* failed, timeval* timeout)
{
    static const auto real = marltest::next<int (*)(int, fd_set*, fd_set*, fd_set*, timeval*)>("select");
    ++platform().selectCalls;
    if (timeout != nullptr) {
        platform().lastSelectSeconds = timeout->tv_sec;
        platform().lastSelectMicroseconds = timeout->tv_usec;
    }
    if (const int error = platform().selectFailErrno.exchange(0); error != 0) {
        errno = error;
        return -1;
    }
    if (const int unready = platform().selectReturnsUnready.exchange(0); unready != 0) {
        if (readable != nullptr) {
            FD_ZERO(readable);
        }
        return unready;
    }
    return real(count, readable, writable, failed, timeout);
}

ssize_t recvfrom(int fd, void* buffer, size_t length, int flags, sockaddr* address, socklen_t* addressLength)
{
    static const auto real =
        marltest::next<ssize_t (*)(int, void*, size_t, int, sockaddr*, socklen_t*)>("recvfrom");
    ++platform().recvfromCalls;
    if (const int error = platform().recvfromFailErrno.exchange(0); error != 0) {
        errno = error;
        return -1;
    }
    return real(fd, buffer, length, flags, address, addressLength);
}

// The fortified variant that recvfrom becomes when the compiler cannot
// prove the length fits the buffer (as in sanitizer builds).
ssize_t __recvfrom_chk(int fd, void* buffer, size_t length, size_t bufferSize, int flags, sockaddr* address,
                       socklen_t* addressLength)
{
    if (length > bufferSize) {
        std::abort(); // what the real check does: a buffer overflow
    }
    return recvfrom(fd, buffer, length, flags, address, addressLength);
}

struct servent* getservbyname(const char* name, const char* protocol)
{
    static const auto real = marltest::next<servent* (*)(const char*, const char*)>("getservbyname");
    ++platform().serviceLookups;
    switch (platform().service.load()) {
    case marltest::Platform::Service::Missing:
        return nullptr;
    case marltest::Platform::Service::FakePort: {
        static char udp[] = "udp";
        static char* noAliases[] = {nullptr};
        static servent entry{};
        entry.s_name = const_cast<char*>(name);
        entry.s_aliases = noAliases;
        entry.s_port = static_cast<int>(htons(platform().servicePort.load()));
        entry.s_proto = udp;
        return &entry;
    }
    case marltest::Platform::Service::Real:
        break;
    }
    return real(name, protocol);
}

int cmn_hal_getCentralAddress(struct in_addr* address)
{
    static const auto real = marltest::next<int (*)(struct in_addr*)>("cmn_hal_getCentralAddress");
    ++platform().centralAddressCalls;
    return real(address);
}

void* malloc(size_t size) noexcept
{
    using Malloc = void* (*)(size_t);
    static std::atomic<Malloc> real{nullptr};
    static thread_local bool resolving = false;
    const Malloc fn = marltest::resolveAllocator(real, resolving, "malloc");
    if (fn == nullptr) {
        return marltest::bootAllocate(size);
    }
    if (marltest::counted() && marltest::allocationMustFail()) {
        errno = ENOMEM;
        return nullptr;
    }
    void* block = fn(size);
    marltest::track(block);
    return block;
}

void* calloc(size_t count, size_t size) noexcept
{
    using Calloc = void* (*)(size_t, size_t);
    static std::atomic<Calloc> real{nullptr};
    static thread_local bool resolving = false;
    const Calloc fn = marltest::resolveAllocator(real, resolving, "calloc");
    if (fn == nullptr) {
        return marltest::bootAllocate(count * size); // zero already: the arena is static
    }
    if (marltest::counted() && marltest::allocationMustFail()) {
        errno = ENOMEM;
        return nullptr;
    }
    void* block = fn(count, size);
    marltest::track(block);
    return block;
}

void free(void* pointer) noexcept
{
    using Free = void (*)(void*);
    static std::atomic<Free> real{nullptr};
    static thread_local bool resolving = false;
    if (pointer == nullptr || marltest::inBootArena(pointer)) {
        return;
    }
    Free fn = real.load();
    if (fn == nullptr) {
        if (resolving) {
            return; // freed while dlsym looks free up: leaked, harmlessly
        }
        resolving = true;
        fn = marltest::next<Free>("free");
        real.store(fn);
        resolving = false;
    }
    marltest::untrack(pointer);
    fn(pointer);
}

void syslog(int priority, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    marltest::captureLog(priority, format, args);
    va_end(args);
}

void __syslog_chk(int priority, int /*flag*/, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    marltest::captureLog(priority, format, args);
    va_end(args);
}

} // extern "C"

// C++ allocations go through the malloc and free above, so that they count,
// fail and are tracked like the C ones in every build: the sanitizer runtimes
// and valgrind would otherwise serve operator new themselves, past the
// interposer.
void* operator new(std::size_t size)
{
    if (void* block = std::malloc(size != 0 ? size : 1)) {
        return block;
    }
    throw std::bad_alloc();
}

void* operator new[](std::size_t size)
{
    return operator new(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return std::malloc(size != 0 ? size : 1);
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return std::malloc(size != 0 ? size : 1);
}

void operator delete(void* block) noexcept
{
    std::free(block);
}

void operator delete[](void* block) noexcept
{
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept
{
    std::free(block);
}

void operator delete[](void* block, std::size_t) noexcept
{
    std::free(block);
}
