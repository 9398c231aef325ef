// The lines that marld prints, as text for people or as JSON Lines.
//
// Every function returns one complete line with its newline, except
// countersReport, which may return several. Point names may hold any byte
// other than the control bytes that the service rejects, and a rejected
// query's name may hold those too; both formats escape them, so a name can
// never break a line or a JSON string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "datagramHandler.h"

namespace marld {

enum class OutputFormat { text, json };

// Failures of the socket calls, counted by the I/O loop.
struct IoCounters {
    std::uint64_t receiveErrors = 0;
    std::uint64_t replyErrors = 0;
};

// "127.0.0.1" and "127.0.0.1:41718".
[[nodiscard]] std::string addressText(std::uint32_t address);
[[nodiscard]] std::string endpointText(Endpoint endpoint);

// A JSON string literal, quotes included, for arbitrary bytes: valid UTF-8
// is kept, control bytes become \u00XX, and every byte that is not part of
// valid UTF-8 becomes \ufffd (so the string alone may not give the bytes
// back; see queryLine and updateLine for pointHex).
[[nodiscard]] std::string jsonString(std::string_view bytes);

// The name in double quotes for a text line: quote and backslash escaped,
// control bytes as \xHH, all other bytes as they are.
[[nodiscard]] std::string quotedName(std::string_view bytes);

// Names are shown up to this many bytes; only a rejected query's name can
// be longer, and its full length is shown next to it.
inline constexpr std::size_t kShownNameLength = 600;

[[nodiscard]] std::string listeningLine(OutputFormat format, Endpoint bound);
[[nodiscard]] std::string updateLine(OutputFormat format, const UpdateAccepted& update, Endpoint sender);
[[nodiscard]] std::string queryLine(OutputFormat format, const QueryAnswered& query);
[[nodiscard]] std::string dropLine(OutputFormat format, const Dropped& drop, std::size_t size, Endpoint sender);
[[nodiscard]] std::string suppressedLine(OutputFormat format, std::uint64_t count);
[[nodiscard]] std::string replyFailedLine(OutputFormat format, Endpoint to, std::string_view error);
[[nodiscard]] std::string countersReport(OutputFormat format, const Counters& counters, const IoCounters& io);

} // namespace marld
