#include "runtimeInfo.h"

#include <algorithm>
#include <new>

namespace marld {

namespace {

std::optional<std::string> textOf(const char* text)
{
    return text != nullptr ? std::optional<std::string>(text) : std::nullopt;
}

} // namespace

std::optional<RuntimeInfo> decodeRuntimeInfo(const std::uint8_t* block, std::size_t size)
{
    marl::ByteReader reader(block, size);
    // Owns what the block reader produced, whatever happens next.
    struct Decoded {
        marl::DynamicInfo info;
        ~Decoded() { marl::releaseDynamicInfo(info); }
    } decoded;
    const marl::DecodeStatus status = marl::decodeDynamicInfo(reader, decoded.info);
    if (status == marl::DecodeStatus::outOfMemory) {
        throw std::bad_alloc(); // the handler drops the datagram as out of memory
    }
    if (status != marl::DecodeStatus::ok ||
        !std::all_of(reader.position(), reader.position() + reader.left(), [](std::uint8_t byte) { return byte == 0; })) {
        return std::nullopt;
    }
    RuntimeInfo runtime;
    runtime.block.assign(block, block + size);
    if (const t_threshold_info* threshold = decoded.info.thresholdInfo) {
        runtime.threshold = Threshold{textOf(threshold->attributeId), textOf(threshold->thresholdLevel.indication),
                                      threshold->thresholdLevel.low, threshold->thresholdLevel.high,
                                      threshold->observedValue, static_cast<std::int32_t>(threshold->armTime)};
    }
    std::ranges::transform(decoded.info.texts, runtime.texts.begin(), textOf);
    return runtime;
}

} // namespace marld
