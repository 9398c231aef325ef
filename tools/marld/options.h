// marld's command line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "eventFormat.h"

namespace marld {

// Datagrams taken per receive call. Each has a 64 KiB buffer of its own, so
// that no datagram is ever cut; hence the bound. Pages of those buffers are
// touched only as far as datagrams fill them.
inline constexpr int kDefaultReceiveBatch = 32;
inline constexpr int kMaxReceiveBatch = 1024;

struct Options {
    bool help = false;
    bool version = false;
    std::optional<std::uint16_t> port;    // nothing: the services database's "marl" entry
    std::uint32_t bindAddress = 0x7F000001; // host order; 127.0.0.1
    std::optional<std::string> pointsFile;
    OutputFormat format = OutputFormat::text;
    std::optional<int> receiveBuffer; // SO_RCVBUF in bytes
    std::size_t maxPoints = PointStore::kDefaultMaxPoints;
    int receiveBatch = kDefaultReceiveBatch;
    bool quiet = false; // no line per update or query
};

// The options of `arguments` (without the program name), or nothing with
// `error` set to a message that names the offending option.
[[nodiscard]] std::optional<Options> parseOptions(const std::vector<std::string_view>& arguments, std::string& error);

[[nodiscard]] std::string_view usageText();

} // namespace marld
