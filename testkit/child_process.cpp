#include "child_process.h"

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace marltest {

static std::string contents(const std::string& path)
{
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

ChildProcess::ChildProcess(std::vector<std::string> command)
{
    char directory[] = "/tmp/marl-child-XXXXXX";
    if (mkdtemp(directory) == nullptr) {
        return;
    }
    directory_ = directory;
    // The shell puts the three streams in place, then becomes the program.
    const std::string redirect = "exec \"$@\" </dev/null >" + directory_ + "/out 2>" + directory_ + "/err";
    command.insert(command.begin(), {"/bin/sh", "-c", redirect, "sh"});
    std::vector<char*> argv(command.size() + 1); // ends with a null
    std::transform(command.begin(), command.end(), argv.begin(), [](auto& word) { return word.data(); });
    if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        pid_ = -1;
    }
}

ChildProcess::~ChildProcess()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored; // nothing to remove when mkdtemp failed
    std::filesystem::remove_all(directory_, ignored);
}

int ChildProcess::stop(int signal, std::chrono::milliseconds timeout)
{
    if (pid_ > 0 && signal != 0) {
        kill(pid_, signal);
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (int status = 0; pid_ > 0; std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            pid_ = 0;
        } else if (std::chrono::steady_clock::now() >= deadline) {
            return -1; // still running
        }
    }
    return status_;
}

std::string ChildProcess::stdoutText() const { return contents(directory_ + "/out"); }
std::string ChildProcess::stderrText() const { return contents(directory_ + "/err"); }

MarldProcess::MarldProcess(std::vector<std::string> arguments, bool kernelPort)
    : ChildProcess([&] {
          std::vector<std::string> command = {MARLD_COMMAND};
          if (kernelPort) {
              command.insert(command.end(), {"--port", "0"});
          }
          command.insert(command.end(), arguments.begin(), arguments.end());
          return command;
      }())
{
    // "marld: listening on 127.0.0.1:PORT" or {"event":"listening",...,"port":PORT}
    // (PORT after the line's last colon), unless marld ends or takes ten seconds first.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (stdoutText().find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline &&
           wait(std::chrono::milliseconds(5)) == -1) {
    }
    const std::string out = stdoutText(), line = out.substr(0, out.find('\n'));
    if (line.find("listening") != std::string::npos) {
        port_ = static_cast<std::uint16_t>(std::atoi(line.c_str() + line.rfind(':') + 1));
    }
}

} // namespace marltest
