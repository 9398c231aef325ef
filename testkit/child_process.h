// The project's programs as child processes of a test or a benchmark.
//
//     marltest::MarldProcess marld;               // runs: marld --port 0
//     ASSERT_NE(marld.port(), 0) << marld.stderrText();
//     ... send datagrams to 127.0.0.1:marld.port() ...
//     EXPECT_EQ(marld.stop(), 0);                  // SIGTERM, then wait
//
// A child runs with stdin on /dev/null and stdout and stderr in files of its
// own, so it never blocks on a reader. The destructor kills and reaps a
// child that is still running: nothing is left behind. MARLD_COMMAND and
// MARL_COMMAND (from the build) are the words that run marld and marl.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

namespace marltest {

class ChildProcess {
public:
    explicit ChildProcess(std::vector<std::string> command);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The child's process id (the emulator's in a cross build).
    pid_t pid() const { return pid_; }

    // Sends `signal` (none for 0) and waits up to `timeout` for the child to
    // end. Returns the exit code, or 128 + the signal's number when a signal
    // ended it, the same on every later call; -1 while it still runs (the
    // destructor kills it).
    int stop(int signal = SIGTERM, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(10)) { return stop(0, timeout); }

    std::string stdoutText() const;
    std::string stderrText() const;

private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string directory_;
};

// marld with "--port 0" (unless `kernelPort` is false) and `arguments`; the
// constructor waits for the listening line, text or JSON.
class MarldProcess : public ChildProcess {
public:
    explicit MarldProcess(std::vector<std::string> arguments = {}, bool kernelPort = true);

    // The listening line's port; 0 when marld ended before printing it.
    std::uint16_t port() const { return port_; }

private:
    std::uint16_t port_ = 0;
};

} // namespace marltest
