// The runtime information that an extended update carries after the point
// name: the dynamic information block.
//
// decodeRuntimeInfo is the one place where the service turns the block's
// bytes into what it keeps. Today it checks only the block's smallest size
// and keeps the bytes as they came; when the block's decoder is wired in, it
// fills in the decoded fields here and rejects a block that does not decode,
// and nothing else in the service needs to change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace marld {

// Smallest block: the 16-bit threshold length and six absent texts of two
// bytes each.
inline constexpr std::size_t kMinRuntimeInfoSize = 14;

struct RuntimeInfo {
    std::vector<std::uint8_t> block; // the bytes after the name, as received
};

// Nothing when the bytes cannot be a dynamic information block; the update
// that carried them is then dropped.
[[nodiscard]] std::optional<RuntimeInfo> decodeRuntimeInfo(const std::uint8_t* block, std::size_t size);

} // namespace marld
