// The bounded block reader, marl::decodeDynamicInfo, on arbitrary bytes that
// end where the input ends, as the point service reads a received datagram.
//
// A plain reading of the block, item by item, says what the reader must give
// back: the status, the record, every text byte for byte followed by a NUL
// inside its allocation, and the four numbers. AddressSanitizer catches a read
// past the input and a text whose NUL lies outside its allocation,
// LeakSanitizer anything not released. When the block is complete, the
// exported reader, which knows no size, must give back the same.
#include <array>
#include <bit>
#include <cstring>
#include <optional>
#include <string>

#include "byteStream.h"
#include "fuzz_target.h"
#include "marlEncDec.h"
#include "marlEncDecCore.h"

namespace {

using marl::DecodeStatus;

// What the reader must produce. Texts in wire order: attributeId,
// indication, then the six texts; nothing for a null one.
struct Expected {
    DecodeStatus status = DecodeStatus::ok;
    std::size_t consumed = 0;
    bool record = false;
    std::array<std::optional<std::string>, 8> texts;
    // low, high and observedValue as bits, then armTime; zero unless all
    // four were read.
    std::array<std::uint32_t, 4> numbers{};
};

Expected expectedReading(const std::uint8_t* data, std::size_t size)
{
    Expected e;
    std::size_t at = 0;
    const auto have = [&](std::size_t count) { return size - at >= count; };
    const auto u16 = [&] {
        const std::size_t value = std::size_t{data[at]} << 8 | data[at + 1];
        at += 2;
        return value;
    };
    // False when the input ends inside the text, which is then not produced.
    const auto text = [&](std::optional<std::string>& out) {
        if (!have(2)) {
            return false;
        }
        const std::size_t length = u16();
        if (length == 0) {
            return true;
        }
        if (!have(length + 1)) {
            return false;
        }
        out.emplace(reinterpret_cast<const char*>(data + at), length);
        if (data[at + length] != 0) {
            e.status = DecodeStatus::missingNul;
        }
        at += length + 1;
        return true;
    };
    const auto block = [&] {
        if (!have(2)) {
            return false;
        }
        if (u16() != 0) {
            e.record = true;
            if (!text(e.texts[0]) || !text(e.texts[1]) || !have(16)) {
                return false;
            }
            for (std::uint32_t& number : e.numbers) {
                number = std::uint32_t{data[at]} << 24 | std::uint32_t{data[at + 1]} << 16 |
                         std::uint32_t{data[at + 2]} << 8 | data[at + 3];
                at += 4;
            }
        }
        for (std::size_t i = 2; i < e.texts.size(); ++i) {
            if (!text(e.texts[i])) {
                return false;
            }
        }
        return true;
    };
    if (!block()) {
        e.status = DecodeStatus::pastEnd;
    }
    e.consumed = at;
    return e;
}

void checkText(const char* got, const std::optional<std::string>& want)
{
    if (!want) {
        FUZZ_CHECK(got == nullptr);
        return;
    }
    FUZZ_CHECK(got != nullptr);
    FUZZ_CHECK(std::memcmp(got, want->data(), want->size()) == 0);
    FUZZ_CHECK(got[want->size()] == '\0');
}

void checkOutputs(const t_threshold_info* record, const std::array<const char*, 6>& texts, const Expected& want)
{
    FUZZ_CHECK((record != nullptr) == want.record);
    if (record != nullptr) {
        checkText(record->attributeId, want.texts[0]);
        checkText(record->thresholdLevel.indication, want.texts[1]);
        FUZZ_CHECK(std::bit_cast<std::uint32_t>(record->thresholdLevel.low) == want.numbers[0]);
        FUZZ_CHECK(std::bit_cast<std::uint32_t>(record->thresholdLevel.high) == want.numbers[1]);
        FUZZ_CHECK(std::bit_cast<std::uint32_t>(record->observedValue) == want.numbers[2]);
        FUZZ_CHECK(record->armTime == static_cast<std::int32_t>(want.numbers[3]));
    }
    for (std::size_t i = 0; i < texts.size(); ++i) {
        checkText(texts[i], want.texts[i + 2]);
    }
}

void checkExportedReader(const std::uint8_t* data, std::size_t size, const Expected& want)
{
    FuzzInput input(data, data + size);
    t_threshold_info* record = nullptr;
    std::array<char*, 6> texts{};
    const std::uint8_t* end = oamMarlDecodeDynamicInfo(input.data(), &record, &texts[0], &texts[1], &texts[2],
                                                       &texts[3], &texts[4], &texts[5]);
    FUZZ_CHECK(end == input.data() + want.consumed);
    checkOutputs(record, {texts[0], texts[1], texts[2], texts[3], texts[4], texts[5]}, want);
    marl::releaseThresholdInfo(record);
    for (char* text : texts) {
        std::free(text);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const Expected want = expectedReading(data, size);
    marl::ByteReader reader(data, size);
    marl::DynamicInfo info;
    FUZZ_CHECK(marl::decodeDynamicInfo(reader, info) == want.status);
    if (want.status != DecodeStatus::pastEnd) {
        FUZZ_CHECK(reader.left() == size - want.consumed);
    }
    checkOutputs(info.thresholdInfo,
                 {info.monitoredAttributes, info.serviceUser, info.serviceProvider, info.securityAlarmDetector,
                  info.additionalText1, info.additionalText2},
                 want);
    marl::releaseDynamicInfo(info);
    // Only a complete block: that reader trusts every length it reads.
    if (want.status != DecodeStatus::pastEnd) {
        checkExportedReader(data, size, want);
    }
    return 0;
}

std::vector<FuzzInput> marlFuzzSeeds()
{
    const std::string longText(200, 'L');
    char attributeId[] = "a";
    char indication[] = "b";
    const t_threshold_info threshold{attributeId, {indication, 1.0F, 2.0F}, 0.5F, 16};
    const auto encode = [](const marl::DynamicInfoView& view) {
        FuzzInput block(MARL_DYNAMIC_INFO_MAX_SIZE);
        marl::ByteWriter writer(block.data(), block.size());
        FUZZ_CHECK(marl::encodeDynamicInfo(writer, view));
        block.resize(block.size() - writer.room());
        return block;
    };
    const FuzzInput full = encode({&threshold, "m", "u", "p", "d", "1", "2"});
    const FuzzInput shortByOne(full.begin(), full.end() - 1);
    FuzzInput thresholdLengthFive = full;
    thresholdLengthFive[1] = 5;
    FuzzInput withoutNul = full;
    withoutNul[5] = 'z'; // the byte after attributeId
    const char* longest = longText.c_str();
    return {encode({}),
            encode({nullptr, "x"}),
            full,
            shortByOne,
            thresholdLengthFive,
            withoutNul,
            encode({&threshold, longest, longest, longest, longest, longest, longest})};
}
