#include "marld_process.h"

#include <charconv>
#include <string_view>

// MARLD_COMMAND: the emulator's words, if any, and marld's path.
#include "tool_commands.h"

namespace marltest {

namespace {

// The port in marld's listening line, text or JSON; 0 if it is not one.
std::uint16_t listeningPort(std::string_view line)
{
    constexpr std::string_view textStart = "marld: listening on ";
    constexpr std::string_view jsonStart = "{\"event\":\"listening\",";
    constexpr std::string_view jsonPort = "\"port\":";
    std::string_view digits;
    if (line.starts_with(textStart) && line.rfind(':') != std::string_view::npos) {
        digits = line.substr(line.rfind(':') + 1);
    } else if (line.starts_with(jsonStart) && line.find(jsonPort) != std::string_view::npos) {
        digits = line.substr(line.find(jsonPort) + jsonPort.size());
        digits = digits.substr(0, digits.find_first_not_of("0123456789"));
    }
    std::uint16_t port = 0;
    const auto [end, failure] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    return failure == std::errc() && end == digits.data() + digits.size() ? port : 0;
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

MarldProcess::MarldProcess(std::vector<std::string> arguments, bool kernelPort, std::chrono::milliseconds startTimeout)
    : ChildProcess(marldCommand(std::move(arguments), kernelPort)), port_(listeningPort(firstLine(startTimeout)))
{
}

} // namespace marltest
