// A program of the project run as a child process of a test.
//
//     marltest::ChildProcess marl({MARL_COMMAND, "query", "ab"});
//     EXPECT_EQ(marl.wait(), 0);
//     EXPECT_EQ(marl.stdoutText(), "set\n");
//
// The constructor starts the command (whose first words are the build's
// emulator in a cross build) with stdin on /dev/null and stdout and stderr on
// pipes. Output is collected all the time, so the child never blocks on a
// full pipe. The destructor kills and reaps a child that is still running:
// no test leaves a process behind.
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

class ChildProcess {
public:
    static constexpr std::chrono::milliseconds kDefaultTimeout{10000};

    explicit ChildProcess(std::vector<std::string> command);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The first line of stdout without its newline, waiting up to `timeout`
    // for it; empty when the child ended or the time ran out first.
    std::string firstLine(std::chrono::milliseconds timeout = kDefaultTimeout);

    // The child's process id (the emulator's in a cross build), to look at it
    // in /proc while it runs; -1 when it could not be started.
    pid_t pid() const { return pid_; }

    // Sends `signal` and waits up to `timeout` for the child to end. Returns its
    // exit status: the exit code, 128 + the signal's number when a signal
    // ended it, or -1 when it was still running and had to be killed. Once
    // the child has ended, every call returns the same status and sends nothing.
    int stop(int signal = SIGTERM, std::chrono::milliseconds timeout = kDefaultTimeout);

    // As stop, without a signal: for runs that end by themselves (--help).
    int wait(std::chrono::milliseconds timeout = kDefaultTimeout);

    // Everything the child wrote so far; all of it once stop or wait returned.
    std::string stdoutText() const;
    std::string stderrText() const;

private:
    void collectOutput();
    void reap(int status);

    pid_t pid_ = -1;
    bool ended_ = false;
    int exitStatus_ = -1;
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
