// The lines that marld prints, as text for people or as JSON Lines.
//
// Every function returns one complete line with its newline, except
// countersReport, which returns several. Point names may hold any byte
// other than the control bytes that the service rejects, and a rejected
// query's name may hold those too; both formats escape them (jsonText.h), so
// a name can never break a line or a JSON string. Names are shown up to
// kMaxPointNameLength bytes; only a rejected query's name can be longer, and
// its full length is shown next to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "datagramHandler.h"

namespace marld {

enum class OutputFormat { text, json };

// Where marld listens for datagrams, or, with `http`, serves HTTP.
[[nodiscard]] std::string listeningLine(OutputFormat format, Endpoint bound, bool http = false);
[[nodiscard]] std::string updateLine(OutputFormat format, const UpdateAccepted& update, Endpoint sender);
[[nodiscard]] std::string queryLine(OutputFormat format, const QueryAnswered& query);
// The line of whichever outcome handling a datagram of `size` bytes from
// `sender` had.
[[nodiscard]] std::string outcomeLine(OutputFormat format, const Outcome& outcome, std::size_t size, Endpoint sender);
[[nodiscard]] std::string suppressedLine(OutputFormat format, std::uint64_t count);
[[nodiscard]] std::string replyFailedLine(OutputFormat format, Endpoint to, std::string_view error);
// The counters at the stop: a line each, or one JSON object.
[[nodiscard]] std::string countersReport(OutputFormat format, const Counters& counters);

// For the HTTP side: a point as a JSON object (its name as in the lines,
// its state, the time of its last change in RFC 3339 UTC, its update count
// and its runtime information, null without one, and with one whether it
// came with the last update), and one entry of its history.
[[nodiscard]] std::string pointJson(std::string_view name, const PointState& state);
// "2026-12-07T15:31:02.123Z".
[[nodiscard]] std::string rfc3339(WallClock::time_point at);
// "14:02", in the machine's time zone, as an operator reads a clock.
[[nodiscard]] std::string clockTime(WallClock::time_point at);
// The runtime information as JSON members of texts, named in words
// ("attribute", "observed", "armed_at", "monitored_attributes"...), for
// the annotations of an alert; only what was sent, and no arm time of 0.
[[nodiscard]] std::string runtimeInfoWords(const RuntimeInfo& info);
[[nodiscard]] std::string changeJson(const StateChange& change);

} // namespace marld
