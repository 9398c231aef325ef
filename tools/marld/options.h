// marld's command line.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pointStore.h"
#include "udpServer.h"

namespace marld {

struct Options {
    bool help{};
    bool version{};
    ServerSettings server;
    bool portGiven{}; // otherwise the port of the services database's "marl" entry
    std::optional<std::string> pointsFile;
    std::optional<std::string> stateFile;
    std::optional<Endpoint> http; // --http [ADDR:]PORT
    std::size_t maxPoints = PointStore::kDefaultMaxPoints;
};

// The options of the command line (getopt_long's, with its abbreviations
// and "--"), or nothing with `error` set to a message that names the
// offending option.
[[nodiscard]] std::optional<Options> parseOptions(int argc, char** argv, std::string& error);

[[nodiscard]] std::string_view usageText();

} // namespace marld
