// The runtime information that an extended update carries after the point
// name: the dynamic information block, decoded, and kept as it came.
//
// decodeRuntimeInfo is the one place where the service turns the block's
// bytes into what it keeps, through the library's bounded block reader: a
// block that runs past the end of the datagram, holds a text not followed by
// its NUL, or is followed by anything but zero bytes is refused, and the
// update that carried it is dropped.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "marlEncDecCore.h"

namespace marld {

struct Threshold {
    std::optional<std::string> attributeId;
    std::optional<std::string> indication;
    float low{};
    float high{};
    float observedValue{};
    std::int32_t armTime{}; // seconds since 1970, as the wire carries it
};

struct RuntimeInfo {
    std::optional<Threshold> threshold;
    std::array<std::optional<std::string>, marl::kTextCount> texts; // in wire order; absent ones empty
    std::vector<std::uint8_t> block; // the bytes after the name, padding included, as they came
};

// Nothing when the bytes are not one dynamic information block followed by
// zero bytes only (the padding a sender leaves after texts it cut). Throws
// std::bad_alloc when memory runs out, as the rest of the handling does.
[[nodiscard]] std::optional<RuntimeInfo> decodeRuntimeInfo(const std::uint8_t* block, std::size_t size);

} // namespace marld
