// marld, the point service, as a child process of a test.
//
//     marltest::MarldProcess marld;               // runs: marld --port 0
//     ASSERT_NE(marld.port(), 0) << marld.stderrText();
//     ... send datagrams to 127.0.0.1:marld.port() ...
//     EXPECT_EQ(marld.stop(), 0);                  // SIGTERM, then wait
//     EXPECT_NE(marld.stdoutText().find("marld: received 3\n"), std::string::npos);
//
// The constructor starts marld (under the build's emulator in a cross build)
// with its stdout and stderr on pipes, and waits, bounded, for the listening
// line that marld prints first, in text or in JSON. Output is collected all
// the time, so marld never blocks on a full pipe. The destructor kills and
// reaps a child that is still running: no test leaves a process behind.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace marltest {

class MarldProcess {
public:
    static constexpr std::chrono::milliseconds kDefaultTimeout{10000};

    // Starts marld with "--port 0" (when `kernelPort` is set) followed by
    // `arguments`, and waits up to `startTimeout` for the listening line.
    explicit MarldProcess(std::vector<std::string> arguments = {}, bool kernelPort = true,
                          std::chrono::milliseconds startTimeout = kDefaultTimeout);
    ~MarldProcess();
    MarldProcess(const MarldProcess&) = delete;
    MarldProcess& operator=(const MarldProcess&) = delete;

    // The port of the listening line; 0 when marld exited or timed out
    // before printing it.
    std::uint16_t port() const { return port_; }

    // marld's process id (the emulator's in a cross build), to look at it in
    // /proc while it runs; -1 when it could not be started.
    pid_t pid() const { return pid_; }

    // Sends `signal` and waits up to `timeout` for marld to end. Returns its
    // exit status: the exit code, 128 + the signal's number when a signal
    // ended it, or -1 when it was still running and had to be killed. Once
    // marld has ended, every call returns the same status and sends nothing.
    int stop(int signal = SIGTERM, std::chrono::milliseconds timeout = kDefaultTimeout);

    // As stop, without a signal: for runs that end by themselves (--help).
    int wait(std::chrono::milliseconds timeout = kDefaultTimeout);

    // Everything marld wrote so far; all of it once stop or wait returned.
    std::string stdoutText() const;
    std::string stderrText() const;

private:
    void collectOutput();
    void reap(int status);

    pid_t pid_ = -1;
    bool ended_ = false;
    int exitStatus_ = -1;
    std::uint16_t port_ = 0;
    int stdoutFd_ = -1;
    int stderrFd_ = -1;

    mutable std::mutex mutex_;
    std::condition_variable outputArrived_;
    std::string stdout_;
    std::string stderr_;
    bool stdoutClosed_ = false;
    std::thread collector_;
};

} // namespace marltest
