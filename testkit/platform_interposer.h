// Interposed platform calls for the tests of the library and marld.
//
// A test executable that links the interposer defines socket, sendto, select,
// recvfrom and recv (and their fortified forms), getservbyname,
// cmn_hal_getCentralAddress, malloc, calloc, free, operator new and delete,
// syslog and __syslog_chk. The dynamic linker binds the library's calls to
// these; each is counted and forwards to the real function unless the test
// asked for a fault, and every log line is captured with its priority and
// full text. (UdpPeer sends and receives with sendmsg and recvmsg, which are
// left alone, and waits with poll.)
#pragma once

#include <array>
#include <atomic>
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

// The calls that are counted, and may be failed, by kind.
enum Call { kSocket, kSendto, kSelect, kRecvfrom, kServiceLookup, kCentralAddress, kCallKinds };

struct Platform {
    // Calls made in the process so far, the test's own included.
    std::array<std::atomic<int>, kCallKinds> calls{};
    // The next call of the kind fails with this errno (0: no fault); the
    // service look-up and the central address are only counted.
    std::array<std::atomic<int>, kCallKinds> failNext{};
    // The next select returns this count at once, marking no descriptor
    // readable: 0 is a timeout that takes no time (-1: no fault). The
    // timeout it was given is still recorded below.
    std::atomic<int> selectReturnsUnready{-1};
    std::atomic<long> firstSelectMicroseconds{-1};
    std::atomic<long> lastSelectSeconds{-1};
    std::atomic<long> lastSelectMicroseconds{-1};
    // recv hands out this many 3-byte datagrams, one a call, before any that
    // the socket holds: a queue the test fills without sending.
    std::atomic<int> strayDatagrams{0};
    // What getservbyname answers: the real database (-1), nothing (0), or a
    // UDP entry with this port.
    std::atomic<int> serviceEntryPort{-1};

    // Allocation faults, for malloc, calloc and operator new alike, in any
    // thread: failAllocation(n) makes the n-th allocation from now fail (only
    // that one; 0 disarms); allocationsCounted() tells how many were made
    // since. A test's own helper threads call ignoreAllocationsOfThisThread()
    // to be neither counted nor failed. (What is left allocated,
    // LeakSanitizer and memcheck find in their suites.)
    void failAllocation(int nth);
    int allocationsCounted() const;
    void ignoreAllocationsOfThisThread();

    std::vector<LogLine> logs() const;
    void clearLogs();
};

Platform& platform();

} // namespace marltest
