// The runtime-information codec: the exact bytes of counted strings and
// blocks, what the readers give back, and every way the readers fail.
#include <gtest/gtest.h>
#include <syslog.h>

#include <array>
#include <cstdlib>
#include <optional>
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
using Text = std::optional<std::string>;

namespace {

// Every test starts with an empty log, also when one process runs them all.
class CodecTest : public ::testing::Test {
protected:
    void SetUp() override { platform().clearLogs(); }
};

template <typename Row>
class CodecTable : public CodecTest, public ::testing::WithParamInterface<Row> {};

LogLine codecLog(int priority, const std::string& needle, const std::string& text)
{
    return {priority, marltest::taggedLine("src/marlEncDec.cpp", needle, text)};
}

LogLine swerrInvalidInput(const std::string& function)
{
    return codecLog(LOG_CRIT, "\"Marl Swerr: %s: Invalid input parameter\"",
                    "Marl Swerr: " + function + ": Invalid input parameter");
}

Text textOf(const char* text)
{
    return text != nullptr ? Text(text) : std::nullopt;
}

// What a reader gives back for `text` written with `maxLength`.
Text readBack(const char* text, std::size_t maxLength)
{
    const std::string cut = text != nullptr ? std::string(text).substr(0, maxLength) : "";
    return cut.empty() ? std::nullopt : Text(cut);
}

struct StringCase {
    const char* what;
    const char* text;
    std::uint16_t maxLength;
    const char* wire;
};

// Failure messages name the row.
void PrintTo(const StringCase& row, std::ostream* out)
{
    *out << row.what;
}

using CountedString = CodecTable<StringCase>;

TEST_P(CountedString, IsWrittenExactlyAndReadBack)
{
    const StringCase& row = GetParam();
    const Bytes wire = hexBytes(row.wire);
    Bytes buffer(wire.size() + 1, 0xEE);
    EXPECT_EQ(oamMarlEncodeString(buffer.data(), row.text, row.maxLength), buffer.data() + wire.size());
    EXPECT_EQ(Bytes(buffer.begin(), buffer.end() - 1), wire);
    EXPECT_EQ(buffer.back(), 0xEE);
    char sentinel = 0;
    char* text = &sentinel;
    EXPECT_EQ(oamMarlDecodeString(wire.data(), &text), wire.data() + wire.size());
    EXPECT_EQ(textOf(text), readBack(row.text, row.maxLength));
    std::free(text);
    EXPECT_TRUE(platform().logs().empty());
}

INSTANTIATE_TEST_SUITE_P(Rows, CountedString,
                         ::testing::Values(StringCase{"absent", nullptr, 32, "0000"},
                                           StringCase{"empty_as_absent", "", 32, "0000"},
                                           StringCase{"abc", "abc", 32, "0003 616263 00"},
                                           StringCase{"abcdef_cut_to_4", "abcdef", 4, "0004 61626364 00"},
                                           StringCase{"cut_to_nothing", "abc", 0, "0000"}),
                         [](const auto& param) { return std::string(param.param.what); });

struct Threshold {
    const char* attributeId;
    const char* indication;
    float low;
    float high;
    float observed;
    std::int32_t armTime;
};

struct BlockCase {
    std::string what;
    std::optional<Threshold> threshold;
    std::array<const char*, 6> texts;
    const char* wire; // null: the size follows from the texts
};

const std::string kLong(200, 'L');
constexpr std::array<std::size_t, 6> kTextMaxima = {128, 32, 32, 32, 32, 32};

std::size_t countedSize(const char* text, std::size_t maxLength)
{
    const auto cut = readBack(text, maxLength);
    return cut ? cut->size() + 3 : 2;
}

std::size_t modelSize(const BlockCase& row)
{
    std::size_t size = 2;
    if (row.threshold) {
        size += countedSize(row.threshold->attributeId, 80) + countedSize(row.threshold->indication, 4) + 16;
    }
    for (std::size_t i = 0; i < 6; ++i) {
        size += countedSize(row.texts[i], kTextMaxima[i]);
    }
    return size;
}

t_threshold_info recordOf(const Threshold& t)
{
    return {const_cast<char*>(t.attributeId), {const_cast<char*>(t.indication), t.low, t.high}, t.observed,
            t.armTime};
}

// Reads a block with the exported reader; the outputs start at a sentinel so
// that a reader that leaves one unwritten is caught.
struct ReadBlock {
    char sentinel = 0;
    t_threshold_info* info = reinterpret_cast<t_threshold_info*>(&sentinel);
    std::array<char*, 6> texts{&sentinel, &sentinel, &sentinel, &sentinel, &sentinel, &sentinel};
    std::uint8_t* end = nullptr;

    explicit ReadBlock(Bytes& wire)
        : end(oamMarlDecodeDynamicInfo(wire.data(), &info, &texts[0], &texts[1], &texts[2], &texts[3], &texts[4],
                                       &texts[5]))
    {
    }
    ~ReadBlock()
    {
        if (info != reinterpret_cast<t_threshold_info*>(&sentinel)) {
            marl::releaseThresholdInfo(info);
        }
        for (char* text : texts) {
            if (text != &sentinel) {
                std::free(text);
            }
        }
    }
    ReadBlock(const ReadBlock&) = delete;
    ReadBlock& operator=(const ReadBlock&) = delete;
};

void PrintTo(const BlockCase& row, std::ostream* out)
{
    *out << row.what;
}

using Block = CodecTable<BlockCase>;

TEST_P(Block, IsWrittenExactlyAndReadBack)
{
    const BlockCase& row = GetParam();
    const std::optional<t_threshold_info> record =
        row.threshold ? std::optional(recordOf(*row.threshold)) : std::nullopt;
    const std::size_t size = row.wire != nullptr ? hexBytes(row.wire).size() : modelSize(row);
    Bytes wire(MARL_DYNAMIC_INFO_MAX_SIZE, 0xEE);
    ASSERT_EQ(oamMarlEncodeDynamicInfo(wire.data(), record ? &*record : nullptr, row.texts[0], row.texts[1],
                                       row.texts[2], row.texts[3], row.texts[4], row.texts[5]),
              wire.data() + size);
    EXPECT_EQ(wire[size], 0xEE);
    if (row.wire != nullptr) {
        EXPECT_EQ(Bytes(wire.begin(), wire.begin() + static_cast<std::ptrdiff_t>(size)), hexBytes(row.wire));
    }

    platform().startTrackingAllocations();
    {
        ReadBlock read(wire);
        EXPECT_EQ(read.end, wire.data() + size);
        ASSERT_EQ(read.info != nullptr, row.threshold.has_value());
        if (row.threshold) {
            EXPECT_EQ(textOf(read.info->attributeId), readBack(row.threshold->attributeId, 80));
            EXPECT_EQ(textOf(read.info->thresholdLevel.indication), readBack(row.threshold->indication, 4));
            EXPECT_EQ(read.info->thresholdLevel.low, row.threshold->low);
            EXPECT_EQ(read.info->thresholdLevel.high, row.threshold->high);
            EXPECT_EQ(read.info->observedValue, row.threshold->observed);
            EXPECT_EQ(read.info->armTime, row.threshold->armTime);
        }
        for (std::size_t i = 0; i < 6; ++i) {
            EXPECT_EQ(textOf(read.texts[i]), readBack(row.texts[i], kTextMaxima[i])) << "text " << i;
        }
    }
    EXPECT_EQ(platform().outstandingAllocations(), 0);
    EXPECT_TRUE(platform().logs().empty());
}

// Each slot takes the four kinds of text in turn across the grid's rows.
std::vector<BlockCase> blockCases()
{
    std::vector<BlockCase> rows{
        {"x_only", std::nullopt, {"x"}, "0000 0001 7800 0000 0000 0000 0000 0000"},
        {"threshold_only",
         Threshold{"a", "b", 1.0F, 2.0F, 0.5F, 16},
         {},
         "0016 0001 6100 0001 6200 3f800000 40000000 3f000000 00000010 0000 0000 0000 0000 0000 0000"},
        {"negative_arm_time",
         Threshold{nullptr, "", -1.5F, 3.4028235e38F, 0.1F, -16},
         {nullptr, nullptr, nullptr, nullptr, nullptr, "z"},
         "0016 0000 0000 bfc00000 7f7fffff 3dcccccd fffffff0 0000 0000 0000 0000 0000 0001 7a00"},
    };
    const std::array<const char*, 4> kinds = {nullptr, "", "s", kLong.c_str()};
    for (std::size_t shift = 0; shift < kinds.size(); ++shift) {
        for (const bool withThreshold : {false, true}) {
            auto kind = [&](std::size_t slot) { return kinds[(shift + slot) % kinds.size()]; };
            BlockCase row{"grid_" + std::to_string(shift) + (withThreshold ? "_threshold" : ""), std::nullopt, {},
                          nullptr};
            if (withThreshold) {
                row.threshold = Threshold{kind(6), kind(7), 0.25F, -0.0F, 1e-45F, INT32_MIN};
            }
            for (std::size_t i = 0; i < 6; ++i) {
                row.texts[i] = kind(i);
            }
            rows.push_back(row);
        }
    }
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Rows, Block, ::testing::ValuesIn(blockCases()),
                         [](const auto& param) { return param.param.what; });

// A block with threshold information and all six texts, each text one letter:
// nine allocations to read.
Bytes fullBlock()
{
    const t_threshold_info record = recordOf({"a", "b", 1.0F, 2.0F, 0.5F, 16});
    Bytes wire(50);
    EXPECT_EQ(oamMarlEncodeDynamicInfo(wire.data(), &record, "m", "u", "p", "d", "1", "2"), wire.data() + 50);
    return wire;
}

using BlockReader = CodecTest;
using StringReader = CodecTest;
using BoundedBlock = CodecTest;

TEST_F(BlockReader, AnyNonzeroThresholdLengthAnnouncesTheRecord)
{
    for (const std::uint16_t length : {5, 22, 0xFFFF}) {
        Bytes wire = fullBlock();
        wire[0] = static_cast<std::uint8_t>(length >> 8);
        wire[1] = static_cast<std::uint8_t>(length);
        ReadBlock read(wire);
        EXPECT_EQ(read.end, wire.data() + wire.size()) << length;
        ASSERT_NE(read.info, nullptr);
        EXPECT_EQ(textOf(read.info->attributeId), "a");
        EXPECT_EQ(read.info->armTime, 16);
        EXPECT_EQ(textOf(read.texts[5]), "2");
    }
}

// Null arguments: one line, a null result, no out-parameter written.
struct Outs {
    std::uint8_t input[14] = {};
    char sentinel = 0;
    t_threshold_info* info = reinterpret_cast<t_threshold_info*>(&sentinel);
    std::array<char*, 7> texts{&sentinel, &sentinel, &sentinel, &sentinel, &sentinel, &sentinel, &sentinel};
};

template <int nullArgument>
std::uint8_t* decodeBlockWithNull(Outs& o)
{
    auto text = [&](int argument) { return argument == nullArgument ? nullptr : &o.texts[argument - 2]; };
    return oamMarlDecodeDynamicInfo(nullArgument == 0 ? nullptr : o.input, nullArgument == 1 ? nullptr : &o.info,
                                    text(2), text(3), text(4), text(5), text(6), text(7));
}

struct NullCase {
    const char* what;
    std::uint8_t* (*call)(Outs&);
    bool block; // the block functions' line, else the string functions'
    const char* function;
};

void PrintTo(const NullCase& row, std::ostream* out)
{
    *out << row.what;
}

using NullArgument = CodecTable<NullCase>;

TEST_P(NullArgument, LogsOnceAndWritesNothing)
{
    Outs outs;
    EXPECT_EQ(GetParam().call(outs), nullptr);
    const std::string function = GetParam().function;
    EXPECT_EQ(platform().logs(),
              std::vector<LogLine>({GetParam().block ? codecLog(LOG_ERR, "\"%s: Invalid input parameter.\"",
                                                                function + ": Invalid input parameter.")
                                                     : swerrInvalidInput(function)}));
    EXPECT_EQ(outs.info, reinterpret_cast<t_threshold_info*>(&outs.sentinel));
    for (char* text : outs.texts) {
        EXPECT_EQ(text, &outs.sentinel);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Each, NullArgument,
    ::testing::Values(
        NullCase{"encodeString_buffer", [](Outs&) { return oamMarlEncodeString(nullptr, "abc", 32); }, false,
                 "oamMarlEncodeString"},
        NullCase{"decodeString_input", [](Outs& o) { return oamMarlDecodeString(nullptr, &o.texts[6]); }, false,
                 "oamMarlDecodeString"},
        NullCase{"decodeString_out", [](Outs& o) { return oamMarlDecodeString(o.input, nullptr); }, false,
                 "oamMarlDecodeString"},
        NullCase{"encodeBlock_buffer",
                 [](Outs&) { return oamMarlEncodeDynamicInfo(nullptr, nullptr, "x", "x", "x", "x", "x", "x"); }, true,
                 "oamMarlEncodeDynamicInfo"},
        NullCase{"decodeBlock_input", decodeBlockWithNull<0>, true, "oamMarlDecodeDynamicInfo"},
        NullCase{"decodeBlock_thresholdInfo", decodeBlockWithNull<1>, true, "oamMarlDecodeDynamicInfo"},
        NullCase{"decodeBlock_monitoredAttributes", decodeBlockWithNull<2>, true, "oamMarlDecodeDynamicInfo"},
        NullCase{"decodeBlock_serviceUser", decodeBlockWithNull<3>, true, "oamMarlDecodeDynamicInfo"},
        NullCase{"decodeBlock_serviceProvider", decodeBlockWithNull<4>, true, "oamMarlDecodeDynamicInfo"},
        NullCase{"decodeBlock_securityAlarmDetector", decodeBlockWithNull<5>, true, "oamMarlDecodeDynamicInfo"},
        NullCase{"decodeBlock_additionalText1", decodeBlockWithNull<6>, true, "oamMarlDecodeDynamicInfo"},
        NullCase{"decodeBlock_additionalText2", decodeBlockWithNull<7>, true, "oamMarlDecodeDynamicInfo"}),
    [](const auto& param) { return std::string(param.param.what); });

TEST_F(StringReader, FailedCopyLogsItsSizeAndLeavesNull)
{
    const Bytes wire = hexBytes("0003 616263 00");
    char sentinel = 0;
    char* text = &sentinel;
    platform().failAllocation(1);
    EXPECT_EQ(oamMarlDecodeString(wire.data(), &text), nullptr);
    platform().failAllocation(0);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(platform().logs(), std::vector<LogLine>({codecLog(
                                     LOG_CRIT, "allocation of marlString",
                                     "Marl Swerr: oamMarlDecodeString: Failed Memory allocation of marlString, size 4")}));
}

// The block reader's nine allocations in wire order: the record, its two
// texts, the six texts. Failing the n-th keeps what came before, nulls the
// failed item and leaves the later out-parameters alone; each later text
// logs the string reader's invalid-input line.
using BlockAllocationFailure = CodecTable<int>;

TEST_P(BlockAllocationFailure, KeepsWhatWasReadAndLeaksNothing)
{
    const int failed = GetParam() - 1; // step: 0 record, 1 attributeId, 2 indication, 3.. texts
    Bytes wire = fullBlock();
    platform().startTrackingAllocations();
    platform().failAllocation(GetParam());
    {
        ReadBlock read(wire);
        platform().failAllocation(0);
        EXPECT_EQ(read.end, nullptr);
        std::vector<LogLine> expected;
        if (failed == 0) {
            expected.push_back(codecLog(LOG_CRIT, "allocation of thresholdInfo",
                                        "Marl Swerr: oamMarlDecodeDynamicInfo: Failed Memory allocation of "
                                        "thresholdInfo, size " +
                                            std::to_string(sizeof(t_threshold_info))));
            EXPECT_EQ(read.info, nullptr);
        } else {
            expected.push_back(codecLog(LOG_CRIT, "allocation of marlString",
                                        "Marl Swerr: oamMarlDecodeString: Failed Memory allocation of marlString, "
                                        "size 2"));
            const auto skippedSteps = static_cast<std::size_t>(8 - failed);
            expected.insert(expected.end(), skippedSteps, swerrInvalidInput("oamMarlDecodeString"));
            ASSERT_NE(read.info, nullptr);
            EXPECT_EQ(textOf(read.info->attributeId), failed > 1 ? Text("a") : std::nullopt);
            EXPECT_EQ(textOf(read.info->thresholdLevel.indication), failed > 2 ? Text("b") : std::nullopt);
            EXPECT_EQ(read.info->thresholdLevel.high, failed > 2 ? 2.0F : 0.0F) << "numbers read after a failure";
        }
        EXPECT_EQ(platform().logs(), expected);
        const char* letters[6] = {"m", "u", "p", "d", "1", "2"};
        for (int i = 0; i < 6; ++i) {
            const int step = 3 + i;
            if (step < failed) {
                EXPECT_EQ(textOf(read.texts[static_cast<std::size_t>(i)]), letters[i]);
            } else if (step == failed) {
                EXPECT_EQ(read.texts[static_cast<std::size_t>(i)], nullptr);
            } else {
                EXPECT_EQ(read.texts[static_cast<std::size_t>(i)], &read.sentinel) << "text " << i << " written";
            }
        }
    }
    EXPECT_EQ(platform().outstandingAllocations(), 0);
}

INSTANTIATE_TEST_SUITE_P(EachAllocation, BlockAllocationFailure, ::testing::Range(1, 10),
                         [](const auto& param) { return "allocation_" + std::to_string(param.param); });

// The bounded core, as the point service uses it on a received datagram.
TEST_F(BoundedBlock, RefusesEveryInputThatEndsInsideTheBlock)
{
    const Bytes wire = fullBlock();
    platform().startTrackingAllocations();
    for (std::size_t size = 0; size <= wire.size(); ++size) {
        marl::ByteReader reader(wire.data(), size);
        marl::DynamicInfo info;
        const marl::DecodeStatus status = marl::decodeDynamicInfo(reader, info);
        EXPECT_EQ(status, size == wire.size() ? marl::DecodeStatus::ok : marl::DecodeStatus::pastEnd) << size;
        marl::releaseDynamicInfo(info);
    }
    EXPECT_EQ(platform().outstandingAllocations(), 0);
    EXPECT_TRUE(platform().logs().empty()) << "bounds failures are the caller's to report";

    // The client's datagram writer: a block one byte too large is refused.
    const t_threshold_info record = recordOf({"a", "b", 1.0F, 2.0F, 0.5F, 16});
    const marl::DynamicInfoView view{&record, "m", "u", "p", "d", "1", "2"};
    Bytes out(wire.size());
    marl::ByteWriter exact(out.data(), out.size());
    EXPECT_TRUE(marl::encodeDynamicInfo(exact, view));
    EXPECT_EQ(out, wire);
    marl::ByteWriter shortByOne(out.data(), out.size() - 1);
    EXPECT_FALSE(marl::encodeDynamicInfo(shortByOne, view));
}

TEST_F(BoundedBlock, ReportsEachTextNotFollowedByItsNul)
{
    // Where fullBlock's eight texts end: after "a", "b", then the six texts.
    for (const std::size_t nul : {5, 9, 29, 33, 37, 41, 45, 49}) {
        Bytes wire = fullBlock();
        wire[nul] = 'z';
        marl::ByteReader reader(wire.data(), wire.size());
        marl::DynamicInfo info;
        EXPECT_EQ(marl::decodeDynamicInfo(reader, info), marl::DecodeStatus::missingNul) << nul;
        EXPECT_EQ(reader.left(), 0u);
        ASSERT_NE(info.thresholdInfo, nullptr);
        EXPECT_EQ(textOf(info.thresholdInfo->thresholdLevel.indication), "b") << "ends in the reader's own NUL";
        EXPECT_EQ(textOf(info.additionalText2), "2");
        marl::releaseDynamicInfo(info);
        // The exported reader does not check that byte.
        ReadBlock read(wire);
        EXPECT_EQ(read.end, wire.data() + wire.size());
        EXPECT_EQ(textOf(read.texts[0]), "m");
    }
}

} // namespace
