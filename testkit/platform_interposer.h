// Interposed platform calls for the client's tests.
//
// The test executable defines socket, sendto, select, recvfrom (and
// __recvfrom_chk),
// getservbyname, cmn_hal_getCentralAddress, malloc, calloc, free, syslog and
// __syslog_chk; the
// dynamic linker binds the library's calls to these, and each forwards to the
// real function unless a test asked for a fault. Every call is counted and
// every log line is captured with its priority and full text.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace marltest {

struct LogLine {
    int priority;
    std::string text;
    bool operator==(const LogLine&) const = default;
};

// gtest prints LogLine values in failure messages through this.
std::ostream& operator<<(std::ostream& out, const LogLine& line);

struct Platform {
    std::atomic<int> socketCalls{0};
    std::atomic<int> sendtoCalls{0};
    std::atomic<int> serviceLookups{0};
    std::atomic<int> centralAddressCalls{0};

    std::atomic<int> selectCalls{0};
    std::atomic<int> recvfromCalls{0};

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

    // Allocation faults, for malloc, calloc and operator new alike (the
    // executable's operator new and delete call malloc and free), in any
    // thread: failAllocation(n) makes the n-th allocation from now fail (only
    // that one); allocationsCounted() tells how many were made since.
    // failAllocation(0) disarms.
    void failAllocation(int nth);
    int allocationsCounted() const;
    // From now on the calling thread's allocations are neither counted,
    // failed nor tracked: for a test's own helper threads, whose allocations
    // would otherwise land in the middle of the operation under test.
    void ignoreAllocationsOfThisThread();
    // Holds every socket() call this long before creating the socket, so
    // that concurrent callers pile up behind the first.
    std::atomic<int> socketDelayMs{0};

    // What getservbyname answers: the real database, nothing, or a made-up
    // UDP entry with servicePort (host order).
    enum class Service { Real, Missing, FakePort };
    std::atomic<Service> service{Service::Real};
    std::atomic<std::uint16_t> servicePort{0};

    void resetCounters();

    // Allocations made by malloc, calloc or operator new and not yet freed,
    // while tracking is on.
    void startTrackingAllocations();
    int outstandingAllocations() const;

    std::vector<LogLine> logs() const;
    void clearLogs();
};

Platform& platform();

} // namespace marltest
