#include "child_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace marltest {

namespace {

std::string contents(const std::string& path)
{
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::vector<std::string> marldCommand(std::vector<std::string> arguments, bool kernelPort)
{
    std::vector<std::string> command = {MARLD_COMMAND};
    if (kernelPort) {
        command.insert(command.end(), {"--port", "0"});
    }
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

} // namespace

ChildProcess::ChildProcess(std::vector<std::string> command)
{
    char directory[] = "/tmp/marl-child-XXXXXX";
    if (mkdtemp(directory) == nullptr) {
        return;
    }
    directory_ = directory;
    std::vector<char*> argv;
    for (std::string& word : command) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out = open((directory_ + "/out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const int err = open((directory_ + "/err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    pid_ = fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls until exec.
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    for (const int fd : {in, out, err}) {
        close(fd);
    }
}

ChildProcess::~ChildProcess()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (!directory_.empty()) {
        std::filesystem::remove_all(directory_);
    }
}

int ChildProcess::stop(int signal, std::chrono::milliseconds timeout)
{
    if (pid_ <= 0) {
        return status_;
    }
    if (signal != 0) {
        kill(pid_, signal);
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return -1; // still running
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = 0;
    return status_;
}

std::string ChildProcess::stdoutText() const
{
    return contents(directory_ + "/out");
}

std::string ChildProcess::stderrText() const
{
    return contents(directory_ + "/err");
}

MarldProcess::MarldProcess(std::vector<std::string> arguments, bool kernelPort)
    : ChildProcess(marldCommand(std::move(arguments), kernelPort))
{
    // "marld: listening on 127.0.0.1:PORT" or {"event":"listening",...,"port":PORT},
    // unless marld ends or takes ten seconds first.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (stdoutText().find('\n') == std::string::npos && wait(std::chrono::milliseconds(0)) == -1 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const std::string out = stdoutText();
    const std::string line = out.substr(0, out.find('\n'));
    const std::size_t digits = line.find_last_not_of("0123456789}");
    if (line.find("listening") != std::string::npos && digits != std::string::npos) {
        port_ = static_cast<std::uint16_t>(std::atoi(line.c_str() + digits + 1));
    }
}

} // namespace marltest
