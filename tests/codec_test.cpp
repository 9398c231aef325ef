// The runtime-information codec: exact bytes, what the readers give back,
// and every way the readers fail.
#include <gtest/gtest.h>
#include <syslog.h>

#include <array>
#include <cstdlib>
#include <string>
#include <vector>

#include "marlEncDec.h"
#include "marlEncDecCore.h"
#include "platform_interposer.h"
#include "test_support.h"

using marltest::hexBytes;
using marltest::LogLine;
using marltest::platform;
using Bytes = std::vector<std::uint8_t>;
using State = std::vector<std::string>;

namespace {

// Every test starts with an empty log, also when one process runs them all.
template <typename Row = int>
class CodecTest : public ::testing::TestWithParam<Row> {
protected:
    void SetUp() override { platform().clearLogs(); }
};

LogLine codecLog(int priority, const std::string& needle, const std::string& text)
{
    return {priority, marltest::taggedLine("src/marlEncDec.cpp", needle, text)};
}

LogLine swerr(const std::string& function, const std::string& what)
{
    return codecLog(LOG_CRIT, "\"Marl Swerr: %s: " + what.substr(0, what.find(", size")),
                    "Marl Swerr: " + function + ": " + what);
}

std::string show(const char* text)
{
    return text != nullptr ? text : "null";
}

// What a reader gives back for `text` written with `maxLength`.
std::string readBack(const char* text, std::size_t maxLength)
{
    const std::string cut = std::string(text != nullptr ? text : "").substr(0, maxLength);
    return cut.empty() ? "null" : cut;
}

struct StringCase {
    const char* text;
    std::uint16_t maxLength;
    const char* wire;
};
using CountedString = CodecTest<StringCase>;

TEST_P(CountedString, IsWrittenExactlyAndReadBack)
{
    const Bytes wire = hexBytes(GetParam().wire);
    Bytes buffer(wire.size() + 1, 0xEE);
    EXPECT_EQ(oamMarlEncodeString(buffer.data(), GetParam().text, GetParam().maxLength), &buffer[wire.size()]);
    EXPECT_EQ(buffer, [&] { Bytes b = wire; b.push_back(0xEE); return b; }());
    char* text = reinterpret_cast<char*>(&buffer);
    EXPECT_EQ(oamMarlDecodeString(wire.data(), &text), wire.data() + wire.size());
    EXPECT_EQ(show(text), readBack(GetParam().text, GetParam().maxLength));
    std::free(text);
    EXPECT_TRUE(platform().logs().empty());
}

INSTANTIATE_TEST_SUITE_P(Rows, CountedString,
                         ::testing::Values(StringCase{nullptr, 32, "0000"}, StringCase{"", 32, "0000"},
                                           StringCase{"abc", 32, "0003 616263 00"},
                                           StringCase{"abcdef", 4, "0004 61626364 00"},
                                           StringCase{"abc", 0, "0000"}),
                         [](const auto& param) {
                             return marltest::testName(show(param.param.text)) + "_max_" +
                                    std::to_string(param.param.maxLength);
                         });

struct Threshold {
    const char* attributeId;
    const char* indication;
    float low, high, observed;
    std::int32_t armTime;
    t_threshold_info record() const
    {
        return {const_cast<char*>(attributeId), {const_cast<char*>(indication), low, high}, observed, armTime};
    }
};

// The exported block reader's outputs, starting at a sentinel so that one
// written when it should not be is caught. state() lists them in wire order:
// record, its two texts, the six texts; "-" for not written.
struct Outs {
    char untouched = 0;
    t_threshold_info* info = reinterpret_cast<t_threshold_info*>(&untouched);
    std::array<char*, 6> texts{&untouched, &untouched, &untouched, &untouched, &untouched, &untouched};

    std::uint8_t* read(std::uint8_t* input)
    {
        return oamMarlDecodeDynamicInfo(input, &info, &texts[0], &texts[1], &texts[2], &texts[3], &texts[4],
                                        &texts[5]);
    }
    bool hasRecord() const { return info != nullptr && info != reinterpret_cast<const t_threshold_info*>(&untouched); }
    State state() const
    {
        State items{hasRecord() ? "record" : info == nullptr ? "null" : "-",
                    hasRecord() ? show(info->attributeId) : "-",
                    hasRecord() ? show(info->thresholdLevel.indication) : "-"};
        for (const char* text : texts) {
            items.push_back(text == &untouched ? "-" : show(text));
        }
        return items;
    }
    ~Outs()
    {
        marl::releaseThresholdInfo(hasRecord() ? info : nullptr);
        for (char* text : texts) {
            std::free(text != &untouched ? text : nullptr);
        }
    }
};

struct BlockCase {
    std::string name;
    bool withThreshold;
    Threshold threshold;
    std::array<const char*, 6> texts;
    const char* wire; // null: checked by size and read-back only
};
using Block = CodecTest<BlockCase>;

TEST_P(Block, IsWrittenExactlyAndReadBack)
{
    const BlockCase& row = GetParam();
    const std::size_t maxima[8] = {128, 32, 32, 32, 32, 32, 80, 4};
    const char* texts[8] = {row.texts[0], row.texts[1], row.texts[2], row.texts[3], row.texts[4], row.texts[5],
                            row.threshold.attributeId, row.threshold.indication};
    std::size_t size = row.withThreshold ? 18 : 2;
    State expected{row.withThreshold ? "record" : "null", "-", "-"};
    for (std::size_t i = 0; i < (row.withThreshold ? 8 : 6); ++i) {
        const std::string back = readBack(texts[i], maxima[i]);
        size += back == "null" ? 2 : back.size() + 3;
        if (i < 6) {
            expected.push_back(back);
        } else {
            expected[i - 5] = back;
        }
    }
    const t_threshold_info record = row.threshold.record();
    Bytes wire(MARL_DYNAMIC_INFO_MAX_SIZE + 1, 0xEE);
    ASSERT_EQ(oamMarlEncodeDynamicInfo(wire.data(), row.withThreshold ? &record : nullptr, texts[0], texts[1],
                                       texts[2], texts[3], texts[4], texts[5]),
              &wire[size]);
    EXPECT_EQ(wire[size], 0xEE);
    if (row.wire != nullptr) {
        EXPECT_EQ(Bytes(wire.begin(), wire.begin() + static_cast<long>(size)), hexBytes(row.wire));
    }
    platform().startTrackingAllocations();
    {
        Outs outs;
        EXPECT_EQ(outs.read(wire.data()), &wire[size]);
        EXPECT_EQ(outs.state(), expected);
        if (outs.hasRecord()) {
            const t_threshold_info& got = *outs.info;
            EXPECT_EQ(std::vector({got.thresholdLevel.low, got.thresholdLevel.high, got.observedValue}),
                      std::vector({row.threshold.low, row.threshold.high, row.threshold.observed}));
            EXPECT_EQ(got.armTime, row.threshold.armTime);
        }
    }
    EXPECT_EQ(platform().outstandingAllocations(), 0);
    EXPECT_TRUE(platform().logs().empty());
}

const std::string kLong(200, 'L');

// Then a grid that gives each of the eight texts each kind in turn, with and
// without threshold information.
std::vector<BlockCase> blockCases()
{
    std::vector<BlockCase> rows{
        {"x_only", false, {}, {"x"}, "0000 00017800 0000 0000 0000 0000 0000"},
        {"threshold_only", true, {"a", "b", 1.0F, 2.0F, 0.5F, 16}, {},
         "0016 00016100 00016200 3f800000 40000000 3f000000 00000010 0000 0000 0000 0000 0000 0000"},
        {"negative_arm_time", true, {nullptr, "", -1.5F, 3.4028235e38F, 0.1F, -16},
         {nullptr, nullptr, nullptr, nullptr, nullptr, "z"},
         "0016 0000 0000 bfc00000 7f7fffff 3dcccccd fffffff0 0000 0000 0000 0000 0000 00017a00"},
    };
    const std::array<const char*, 4> kinds = {nullptr, "", "s", kLong.c_str()};
    for (std::size_t shift = 0; shift < 8; ++shift) {
        auto kind = [&](std::size_t slot) { return kinds[(shift + slot) % 4]; };
        rows.push_back({"grid_" + std::to_string(shift), shift >= 4, {kind(6), kind(7), 0.25F, -0.0F, 1e-45F, INT32_MIN},
                        {kind(0), kind(1), kind(2), kind(3), kind(4), kind(5)}, nullptr});
    }
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Rows, Block, ::testing::ValuesIn(blockCases()),
                         [](const auto& param) { return param.param.name; });

// Threshold information and six one-letter texts: 50 bytes, nine allocations
// to read back.
const State kFullState{"record", "a", "b", "m", "u", "p", "d", "1", "2"};
const t_threshold_info kFullRecord = Threshold{"a", "b", 1.0F, 2.0F, 0.5F, 16}.record();

Bytes fullBlock()
{
    Bytes wire(50);
    EXPECT_EQ(oamMarlEncodeDynamicInfo(wire.data(), &kFullRecord, "m", "u", "p", "d", "1", "2"), &wire[0] + 50);
    return wire;
}

// Null arguments: one line, a null result, nothing written. Rows -4 to -1
// are the other three functions, 0 to 7 the block reader's arguments.
std::uint8_t* callWithNull(int nullArgument, Outs& o)
{
    std::uint8_t input[14] = {};
    switch (nullArgument) {
    case -4:
        return oamMarlEncodeString(nullptr, "abc", 32);
    case -3:
        return oamMarlDecodeString(nullptr, &o.texts[0]);
    case -2:
        return oamMarlDecodeString(input, nullptr);
    case -1:
        return oamMarlEncodeDynamicInfo(nullptr, nullptr, "x", "x", "x", "x", "x", "x");
    }
    auto text = [&](int argument) { return argument == nullArgument ? nullptr : &o.texts[argument - 2u]; };
    return oamMarlDecodeDynamicInfo(nullArgument == 0 ? nullptr : input, nullArgument == 1 ? nullptr : &o.info,
                                    text(2), text(3), text(4), text(5), text(6), text(7));
}
using NullArgument = CodecTest<int>;

TEST_P(NullArgument, LogsOnceAndWritesNothing)
{
    Outs outs;
    EXPECT_EQ(callWithNull(GetParam(), outs), nullptr);
    const char* const function[] = {"oamMarlEncodeString", "oamMarlDecodeString", "oamMarlDecodeString",
                                    "oamMarlEncodeDynamicInfo", "oamMarlDecodeDynamicInfo"};
    const std::string name = function[std::min(GetParam() + 4, 4)];
    EXPECT_EQ(platform().logs(), std::vector({GetParam() < -1 ? swerr(name, "Invalid input parameter")
                                                              : codecLog(LOG_ERR, "\"%s: Invalid input parameter.\"",
                                                                         name + ": Invalid input parameter.")}));
    EXPECT_EQ(outs.state(), State(9, "-"));
}

const char* const kNullArgumentNames[] = {
    "encodeString_buffer", "decodeString_input", "decodeString_out", "encodeBlock_buffer",
    "decodeBlock_input",   "thresholdInfo",      "monitoredAttributes", "serviceUser",
    "serviceProvider",     "securityAlarmDetector", "additionalText1", "additionalText2"};
INSTANTIATE_TEST_SUITE_P(Each, NullArgument, ::testing::Range(-4, 8),
                         [](const auto& param) { return std::string(kNullArgumentNames[param.param + 4]); });

// Failing the string reader's allocation, then each of the block reader's
// nine in turn: what came before stays, the failed item is null, the later
// out-parameters are left alone (the record's texts stay null and its numbers
// unread), and each later text step logs the string reader's invalid-input
// line. Row -1 is the string reader alone.
using AllocationFailure = CodecTest<int>;

TEST_P(AllocationFailure, KeepsWhatWasReadAndLeaksNothing)
{
    const int failed = GetParam(); // block step: 0 record, 1 attributeId, 2 indication, 3.. texts
    Bytes wire = failed < 0 ? hexBytes("0003 616263 00") : fullBlock();
    State expected = kFullState;
    for (int step = std::max(failed, 0); step < 9; ++step) { // the string reader's row has no block state
        expected[static_cast<std::size_t>(step)] = step == failed || (failed > 0 && step <= 2) ? "null" : "-";
    }
    std::vector<LogLine> logs{failed == 0 ? swerr("oamMarlDecodeDynamicInfo",
                                                  "Failed Memory allocation of thresholdInfo, size " +
                                                      std::to_string(sizeof(t_threshold_info)))
                                          : swerr("oamMarlDecodeString", "Failed Memory allocation of marlString, size " +
                                                                             std::string(failed < 0 ? "4" : "2"))};
    logs.insert(logs.end(), failed <= 0 ? 0u : 8u - static_cast<unsigned>(failed),
                swerr("oamMarlDecodeString", "Invalid input parameter"));
    platform().startTrackingAllocations();
    {
        Outs outs;
        platform().failAllocation(std::max(failed, 0) + 1);
        EXPECT_EQ(failed < 0 ? oamMarlDecodeString(wire.data(), &outs.texts[0]) : outs.read(wire.data()), nullptr);
        platform().failAllocation(0);
        EXPECT_EQ(platform().logs(), logs);
        if (failed < 0) {
            EXPECT_EQ(outs.texts[0], nullptr);
        } else {
            EXPECT_EQ(outs.state(), expected);
            if (failed > 0) {
                EXPECT_EQ(outs.info->thresholdLevel.high, failed > 2 ? 2.0F : 0.0F) << "numbers read after a failure";
            }
        }
    }
    EXPECT_EQ(platform().outstandingAllocations(), 0);
}

INSTANTIATE_TEST_SUITE_P(Each, AllocationFailure, ::testing::Range(-1, 9), [](const auto& param) {
    return param.param < 0 ? std::string("string_reader") : "block_allocation_" + std::to_string(param.param + 1);
});

// The bounded core, as the point service reads a received datagram.
using BoundedReader = CodecTest<>;

TEST_F(BoundedReader, RefusesEveryInputThatEndsInsideTheBlock)
{
    const Bytes wire = fullBlock();
    platform().startTrackingAllocations();
    for (std::size_t size = 0; size <= wire.size(); ++size) {
        marl::ByteReader reader(wire.data(), size);
        marl::DynamicInfo info;
        EXPECT_EQ(marl::decodeDynamicInfo(reader, info),
                  size == wire.size() ? marl::DecodeStatus::ok : marl::DecodeStatus::pastEnd)
            << size;
        marl::releaseDynamicInfo(info);
    }
    EXPECT_EQ(platform().outstandingAllocations(), 0);
    EXPECT_TRUE(platform().logs().empty()) << "bounds failures are the caller's to report";
    Bytes out(wire.size());
    marl::ByteWriter shortByOne(out.data(), out.size() - 1);
    EXPECT_FALSE(marl::encodeDynamicInfo(shortByOne, {&kFullRecord, "m", "u", "p", "d", "1", "2"}));
}

TEST_F(BoundedReader, ReportsATextWithoutItsNulAndTakesAnyThresholdLengthForARecord)
{
    struct Patch {
        std::size_t offset;
        std::uint8_t value;
    };
    // The NULs after fullBlock's eight texts; then threshold lengths 0xFF16 and 5.
    for (const Patch patch : {Patch{5, 'z'}, {9, 'z'}, {29, 'z'}, {33, 'z'}, {37, 'z'}, {41, 'z'}, {45, 'z'},
                              {49, 'z'}, {0, 0xFF}, {1, 0x05}}) {
        Bytes wire = fullBlock();
        wire[patch.offset] = patch.value;
        marl::ByteReader reader(wire.data(), wire.size());
        marl::DynamicInfo info;
        EXPECT_EQ(marl::decodeDynamicInfo(reader, info),
                  patch.offset > 1 ? marl::DecodeStatus::missingNul : marl::DecodeStatus::ok)
            << patch.offset;
        EXPECT_EQ(reader.left(), 0u);
        marl::releaseDynamicInfo(info);
        Outs outs; // the exported reader does not check that byte, and ends each text with its own NUL
        EXPECT_EQ(outs.read(wire.data()), &wire[0] + wire.size());
        EXPECT_EQ(outs.state(), kFullState);
        EXPECT_EQ(outs.info->armTime, 16);
    }
}

} // namespace
