#include "runtimeInfo.h"

namespace marld {

std::optional<RuntimeInfo> decodeRuntimeInfo(const std::uint8_t* block, std::size_t size)
{
    if (size < kMinRuntimeInfoSize) {
        return std::nullopt;
    }
    return RuntimeInfo{std::vector<std::uint8_t>(block, block + size)};
}

} // namespace marld
