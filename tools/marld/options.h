// marld's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "eventFormat.h"

namespace marld {

struct Options {
    bool help = false;
    bool version = false;
    std::optional<std::uint16_t> port;    // nothing: the services database's "marl" entry
    std::uint32_t bindAddress = 0x7F000001; // host order; 127.0.0.1
    std::optional<std::string> pointsFile;
    OutputFormat format = OutputFormat::text;
    std::optional<int> receiveBuffer; // SO_RCVBUF in bytes
};

// The options of `arguments` (without the program name), or nothing with
// `error` set to a message that names the offending option.
[[nodiscard]] std::optional<Options> parseOptions(const std::vector<std::string_view>& arguments, std::string& error);

[[nodiscard]] std::string_view usageText();

} // namespace marld
