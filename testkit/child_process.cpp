#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace marltest {

namespace {

int exitStatusOf(int waitStatus)
{
    if (WIFEXITED(waitStatus)) {
        return WEXITSTATUS(waitStatus);
    }
    return WIFSIGNALED(waitStatus) ? 128 + WTERMSIG(waitStatus) : -1;
}

} // namespace

ChildProcess::ChildProcess(std::vector<std::string> command)
{
    std::vector<char*> argv;
    for (std::string& word : command) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devNull < 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 || (pid_ = fork()) < 0) {
        stderr_ = std::string("ChildProcess: cannot start " + command.front() + ": ") + std::strerror(errno) + "\n";
        for (const int fd : {devNull, out[0], out[1], err[0], err[1]}) {
            if (fd >= 0) {
                close(fd);
            }
        }
        ended_ = true;
        return;
    }
    if (pid_ == 0) {
        // The child: only async-signal-safe calls until exec.
        dup2(devNull, STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        execvp(argv[0], argv.data());
        constexpr char message[] = "ChildProcess: cannot exec the command\n";
        [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, message, sizeof message - 1);
        _exit(127);
    }
    close(devNull);
    close(out[1]);
    close(err[1]);
    stdoutFd_ = out[0];
    stderrFd_ = err[0];
    collector_ = std::thread([this] { collectOutput(); });
}

std::string ChildProcess::firstLine(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    outputArrived_.wait_for(lock, timeout,
                            [this] { return stdoutClosed_ || stdout_.find('\n') != std::string::npos; });
    const std::size_t lineEnd = stdout_.find('\n');
    return lineEnd == std::string::npos ? std::string() : stdout_.substr(0, lineEnd);
}

ChildProcess::~ChildProcess()
{
    if (!ended_) {
        kill(pid_, SIGKILL);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        reap(status);
    }
    if (collector_.joinable()) {
        collector_.join();
    }
}

void ChildProcess::collectOutput()
{
    pollfd streams[2] = {{stdoutFd_, POLLIN, 0}, {stderrFd_, POLLIN, 0}};
    std::string* sinks[2] = {&stdout_, &stderr_};
    while (streams[0].fd >= 0 || streams[1].fd >= 0) {
        if (poll(streams, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (streams[i].fd < 0 || streams[i].revents == 0) {
                continue;
            }
            char chunk[4096];
            const ssize_t count = read(streams[i].fd, chunk, sizeof chunk);
            if (count < 0 && errno == EINTR) {
                continue;
            }
            std::lock_guard lock(mutex_);
            if (count > 0) {
                sinks[i]->append(chunk, static_cast<std::size_t>(count));
            } else {
                close(streams[i].fd);
                streams[i].fd = -1;
                stdoutClosed_ = stdoutClosed_ || i == 0;
            }
            outputArrived_.notify_all();
        }
    }
    for (const pollfd& stream : streams) {
        if (stream.fd >= 0) {
            close(stream.fd);
        }
    }
}

void ChildProcess::reap(int status)
{
    ended_ = true;
    exitStatus_ = exitStatusOf(status);
    // The child has ended, so both pipes reach their end and the collector
    // returns.
    if (collector_.joinable()) {
        collector_.join();
    }
}

int ChildProcess::stop(int signal, std::chrono::milliseconds timeout)
{
    if (!ended_) {
        kill(pid_, signal);
    }
    return wait(timeout);
}

int ChildProcess::wait(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!ended_) {
        int status = 0;
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            reap(status);
        } else if (done < 0 && errno != EINTR) {
            ended_ = true; // not our child any more: nothing to wait for
        } else if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            reap(status);
            exitStatus_ = -1;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    return exitStatus_;
}

std::string ChildProcess::stdoutText() const
{
    std::lock_guard lock(mutex_);
    return stdout_;
}

std::string ChildProcess::stderrText() const
{
    std::lock_guard lock(mutex_);
    return stderr_;
}

} // namespace marltest
