// The runtime-information codec on the largest block it handles (414 bytes)
// against a memcpy of the same bytes: the floor for moving them at all.
#include <cstdlib>
#include <cstring>
#include <string>

#include "benchSupport.h"
#include "benchmarks.h"
#include "marlEncDec.h"

namespace marlbench {

namespace {

constexpr int kCallsPerRound = 256;

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

struct Decoded {
    t_threshold_info* threshold = nullptr;
    char* texts[6] = {};

    bool read(std::uint8_t* block)
    {
        return oamMarlDecodeDynamicInfo(block, &threshold, &texts[0], &texts[1], &texts[2], &texts[3], &texts[4],
                                        &texts[5]) != nullptr;
    }

    void release()
    {
        if (threshold != nullptr) {
            std::free(threshold->attributeId);
            std::free(threshold->thresholdLevel.indication);
            std::free(threshold);
            threshold = nullptr;
        }
        for (char*& text : texts) {
            std::free(text);
            text = nullptr;
        }
    }
};

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
        const char* t = block.info.text.c_str();
        std::uint8_t* end =
            oamMarlEncodeDynamicInfo(block.encoded, &block.info.threshold, block.info.monitoredAttributes.c_str(), t, t, t, t, t);
        benchmark::DoNotOptimize(end);
        benchmark::ClobberMemory();
        return end != nullptr;
    };
    const Paired result = pairedRounds(state, Timing::wall, kCallsPerRound, copy, encode, [] {});
    addPairedRow("oamMarlEncodeDynamicInfo, 414-byte block", "memcpy, 414 bytes", result);
}

void readBlock(benchmark::State& state)
{
    MaximalBlock block;
    Decoded decoded;
    if (block.encode() != MARL_DYNAMIC_INFO_MAX_SIZE || !decoded.read(block.encoded) ||
        decoded.threshold == nullptr || block.info.attributeId != decoded.threshold->attributeId ||
        block.info.text != decoded.texts[5]) {
        decoded.release();
        state.SkipWithError("the block does not read back");
        return;
    }
    decoded.release();
    auto copy = [&] {
        std::memcpy(block.copy, block.encoded, sizeof block.encoded);
        benchmark::ClobberMemory();
        return true;
    };
    auto decode = [&] {
        const bool ok = decoded.read(block.encoded);
        decoded.release();
        return ok;
    };
    const Paired result = pairedRounds(state, Timing::wall, kCallsPerRound, copy, decode, [] {});
    addPairedRow("oamMarlDecodeDynamicInfo + free, 414-byte block", "memcpy, 414 bytes", result, std::nullopt,
                 "reading allocates 9 times");
}

} // namespace

void registerCodecBenchmarks()
{
    benchmark::RegisterBenchmark("codec/write_maximal_block", writeBlock)
        ->Iterations(scaledRounds(3000))
        ->UseManualTime();
    benchmark::RegisterBenchmark("codec/read_maximal_block", readBlock)
        ->Iterations(scaledRounds(3000))
        ->UseManualTime();
}

} // namespace marlbench
