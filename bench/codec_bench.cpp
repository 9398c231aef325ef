// The runtime-information codec on the largest block it handles
// against a memcpy of the same bytes: the floor for moving them at all.
#include <cstring>
#include <string>

#include "benchSupport.h"
#include "marlEncDecCore.h"

namespace marlbench {

namespace {

constexpr int kCallsPerRound = 256;

// The rows' words for the block, from the codec's own maximum.
const std::string kBlock = std::to_string(MARL_DYNAMIC_INFO_MAX_SIZE) + "-byte block";
const std::string kCopy = "memcpy, " + std::to_string(MARL_DYNAMIC_INFO_MAX_SIZE) + " bytes";

struct MaximalBlock {
    MaximalRuntimeInfo info;
    std::uint8_t encoded[MARL_DYNAMIC_INFO_MAX_SIZE] = {};
    std::uint8_t copy[MARL_DYNAMIC_INFO_MAX_SIZE] = {};

    // The block's size, or 0 when the writer failed.
    std::size_t encode()
    {
        const char* t = info.text.c_str();
        const std::uint8_t* end =
            oamMarlEncodeDynamicInfo(encoded, &info.threshold, info.monitoredAttributes.c_str(), t, t, t, t, t);
        return end == nullptr ? 0 : static_cast<std::size_t>(end - encoded);
    }
};

// The exported reader, into the codec's own record of what it read, which
// releaseDynamicInfo frees.
bool decode(std::uint8_t* block, marl::DynamicInfo& info)
{
    auto& t = info.texts;
    return oamMarlDecodeDynamicInfo(block, &info.thresholdInfo, &t[0], &t[1], &t[2], &t[3], &t[4], &t[5]) != nullptr;
}

void writeBlock(benchmark::State& state)
{
    MaximalBlock block;
    if (block.encode() != MARL_DYNAMIC_INFO_MAX_SIZE) {
        state.SkipWithError("the block is not maximal");
        return;
    }
    std::uint8_t source[MARL_DYNAMIC_INFO_MAX_SIZE];
    std::memcpy(source, block.encoded, sizeof source);
    auto copy = [&] {
        std::memcpy(block.copy, source, sizeof source);
        benchmark::ClobberMemory();
        return true;
    };
    auto encode = [&] {
        const bool ok = block.encode() == MARL_DYNAMIC_INFO_MAX_SIZE;
        benchmark::ClobberMemory();
        return ok;
    };
    const Paired result = pairedRounds(state, Timing::wall, kCallsPerRound, copy, encode, [] {});
    addPairedRow("oamMarlEncodeDynamicInfo, " + kBlock, kCopy, result);
}

void readBlock(benchmark::State& state)
{
    MaximalBlock block;
    marl::DynamicInfo decoded;
    const bool readsBack = block.encode() == MARL_DYNAMIC_INFO_MAX_SIZE && decode(block.encoded, decoded) &&
                           decoded.thresholdInfo != nullptr &&
                           block.info.attributeId == decoded.thresholdInfo->attributeId &&
                           block.info.text == decoded.texts[5];
    marl::releaseDynamicInfo(decoded);
    if (!readsBack) {
        state.SkipWithError("the block does not read back");
        return;
    }
    auto copy = [&] {
        std::memcpy(block.copy, block.encoded, sizeof block.encoded);
        benchmark::ClobberMemory();
        return true;
    };
    auto read = [&] {
        const bool ok = decode(block.encoded, decoded);
        marl::releaseDynamicInfo(decoded);
        return ok;
    };
    const Paired result = pairedRounds(state, Timing::wall, kCallsPerRound, copy, read, [] {});
    addPairedRow("oamMarlDecodeDynamicInfo + free, " + kBlock, kCopy, result, std::nullopt,
                 "reading allocates 9 times");
}

} // namespace

void registerCodecBenchmarks()
{
    registerRounds("codec/write_maximal_block", 3000, writeBlock);
    registerRounds("codec/read_maximal_block", 3000, readBlock);
}

} // namespace marlbench
