// Interposed platform calls for the tests of the library and marld.
//
// A test executable that links the interposer defines socket, sendto, select,
// recvfrom (and the fortified __recvfrom_chk), getservbyname,
// cmn_hal_getCentralAddress, malloc, calloc, free, operator new and delete,
// syslog and __syslog_chk. The dynamic linker binds the library's calls to
// these; each is counted and forwards to the real function unless the test
// asked for a fault, and every log line is captured with its priority and
// full text.
#pragma once

#include <atomic>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace marltest {

struct LogLine {
    int priority;
    std::string text;
    bool operator==(const LogLine&) const = default;
};

std::ostream& operator<<(std::ostream& out, const LogLine& line);

struct Platform {
    std::atomic<int> socketCalls{0};
    std::atomic<int> sendtoCalls{0};
    std::atomic<int> selectCalls{0};
    std::atomic<int> serviceLookups{0};
    std::atomic<int> centralAddressCalls{0};

    // Faults: the next call fails with this errno (0: no fault).
    std::atomic<int> sendtoFailErrno{0};
    std::atomic<int> selectFailErrno{0};
    std::atomic<int> recvfromFailErrno{0};
    // The next select returns this count without marking any descriptor
    // readable (0: no fault).
    std::atomic<int> selectReturnsUnready{0};
    // The timeout that the last select was given.
    std::atomic<long> lastSelectSeconds{-1};
    std::atomic<long> lastSelectMicroseconds{-1};
    // Holds every socket() call this long, so that concurrent callers pile
    // up behind the first.
    std::atomic<int> socketDelayMs{0};

    // What getservbyname answers: the real database, nothing, or a UDP
    // entry with servicePort (host order).
    enum class Service { Real, Missing, FakePort };
    std::atomic<Service> service{Service::Real};
    std::atomic<std::uint16_t> servicePort{0};

    void resetCounters();

    // Allocation faults, for malloc, calloc and operator new alike, in any
    // thread: failAllocation(n) makes the n-th allocation from now fail (only
    // that one; 0 disarms); allocationsCounted() tells how many were made
    // since.
    void failAllocation(int nth);
    int allocationsCounted() const;
    // The calling thread's allocations are no longer counted or failed: for
    // a test's own helper threads. (What is left allocated, LeakSanitizer
    // and memcheck find in their suites.)
    void ignoreAllocationsOfThisThread();

    std::vector<LogLine> logs() const;
    void clearLogs();
};

Platform& platform();

} // namespace marltest
