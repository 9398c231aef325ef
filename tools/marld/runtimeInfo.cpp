#include "runtimeInfo.h"

#include <algorithm>
#include <new>


namespace marld {

namespace {

// Owns what the block reader produced, whatever happens next.
class DecodedBlock {
public:
    DecodedBlock() = default;
    ~DecodedBlock() { marl::releaseDynamicInfo(info); }
    DecodedBlock(const DecodedBlock&) = delete;
    DecodedBlock& operator=(const DecodedBlock&) = delete;

    marl::DynamicInfo info;
};

std::optional<std::string> textOf(const char* text)
{
    return text != nullptr ? std::optional<std::string>(text) : std::nullopt;
}

} // namespace

std::optional<RuntimeInfo> decodeRuntimeInfo(const std::uint8_t* block, std::size_t size)
{
    marl::ByteReader reader(block, size);
    DecodedBlock decoded;
    const marl::DecodeStatus status = marl::decodeDynamicInfo(reader, decoded.info);
    if (status == marl::DecodeStatus::outOfMemory) {
        throw std::bad_alloc(); // the handler drops the datagram as out of memory
    }
    if (status != marl::DecodeStatus::ok) {
        return std::nullopt;
    }
    const std::uint8_t* padding = reader.position();
    if (!std::all_of(padding, padding + reader.left(), [](std::uint8_t byte) { return byte == 0; })) {
        return std::nullopt;
    }
    const marl::DynamicInfo& info = decoded.info;
    RuntimeInfo runtime;
    runtime.blockSize = size;
    if (const t_threshold_info* threshold = info.thresholdInfo) {
        runtime.threshold = Threshold{textOf(threshold->attributeId),
                                      textOf(threshold->thresholdLevel.indication),
                                      threshold->thresholdLevel.low,
                                      threshold->thresholdLevel.high,
                                      threshold->observedValue,
                                      static_cast<std::int32_t>(threshold->armTime)};
    }
    for (std::size_t i = 0; i < marl::kTextCount; ++i) {
        runtime.texts[i] = textOf(info.texts[i]);
    }
    return runtime;
}

std::vector<std::uint8_t> encodeRuntimeInfo(const RuntimeInfo& info)
{
    // The encoder only reads through the record's pointers.
    const auto text = [](const std::optional<std::string>& value) {
        return value ? const_cast<char*>(value->c_str()) : nullptr;
    };
    t_threshold_info threshold{};
    marl::DynamicInfoView view;
    if (info.threshold) {
        const Threshold& t = *info.threshold;
        threshold = {text(t.attributeId), {text(t.indication), t.low, t.high}, t.observedValue, t.armTime};
        view.thresholdInfo = &threshold;
    }
    for (std::size_t i = 0; i < marl::kTextCount; ++i) {
        view.texts[i] = text(info.texts[i]);
    }
    std::vector<std::uint8_t> block(std::max<std::size_t>(info.blockSize, MARL_DYNAMIC_INFO_MAX_SIZE));
    marl::ByteWriter writer(block.data(), block.size());
    // Cannot fail: what was decoded fits the largest block.
    (void)marl::encodeDynamicInfo(writer, view);
    block.resize(std::max(info.blockSize, static_cast<std::size_t>(writer.position() - block.data())));
    return block;
}

} // namespace marld
