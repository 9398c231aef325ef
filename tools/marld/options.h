// marld's command line: one row per option (options.cpp), from which the
// getopt_long table, the checks with their messages and --help are made.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "alerts.h"
#include "datagramHandler.h"
#include "eventFormat.h"
#include "pointStore.h"

namespace marld {

struct Options {
    bool help{};
    bool version{};
    std::optional<std::uint16_t> port; // otherwise the port of the services database's "marl" entry
    Endpoint bind{0x7F000001, 0}; // the port comes from --port or the services database
    std::vector<Network> allow;   // the networks senders must belong to; empty: all
    std::optional<std::string> pointsFile;
    std::optional<std::string> stateFile;
    std::optional<Endpoint> http; // --http [ADDR:]PORT
    OutputFormat format = OutputFormat::text;
    // The socket's receive buffer: room for an alarm storm, tens of thousands
    // of updates that come faster than any loop takes them.
    int receiveBuffer = 8 << 20;
    std::size_t maxPoints = PointStore::kDefaultMaxPoints;
    int receiveBatch = 32; // datagrams per receive call
    bool quiet{};          // no line per update or query
    TestAids testAids;
    std::chrono::milliseconds replyDelay{}; // 0: replies go out at once
    AlertSettings alerts; // --alertmanager, --alert-label, --alert-resend
};

// Replies that --reply-delay holds at most; one more is dropped and counted.
inline constexpr std::size_t kMaxDelayedReplies = 4096;

// The options of the command line (getopt_long's, with its abbreviations
// and "--"), or nothing with `error` set to a message that names the
// offending option.
[[nodiscard]] std::optional<Options> parseOptions(int argc, char** argv, std::string& error);

[[nodiscard]] std::string usageText();

} // namespace marld
