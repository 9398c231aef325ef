// The wire code below the client: the bounded streams, the response reader,
// and the runtime-information codec with its exact bytes, what its readers
// give back and every way they fail.
#include <gtest/gtest.h>
#include <syslog.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <utility>

#include "marlEncDec.h"
#include "marlRecords.h"
#include "platform_interposer.h"
#include "test_support.h"

using namespace marltest;

namespace {

template <typename Row = int>
class CodecTest : public ::testing::TestWithParam<Row> {
protected:
    void SetUp() override { platform().clearLogs(); }
};

// ---- The streams: exact fit passes, one byte short fails and moves
// nothing; counts are compared, so none wraps around.

TEST(ByteStreams, CheckTheRoomBeforeEveryAccess)
{
    static volatile std::size_t huge = SIZE_MAX; // opaque, or the compiler flags the calls
    Bytes buffer(16, 0xEE);
    for (std::size_t room = 0; room <= 15; ++room) {
        marl::ByteWriter writer(buffer.data(), room);
        const bool fits = writer.putU8(0xA5) && writer.putU16(0x8C01) && writer.putU32(0x01020304) &&
                          writer.putI32(-2) && writer.putBytes("abcd", 4) &&
                          !writer.putBytes(buffer.data(), huge);
        EXPECT_EQ(fits, room == 15);
        EXPECT_EQ(buffer[room], 0xEE) << "wrote past the room";
    }
    EXPECT_EQ(buffer, hexBytes("a5 8c01 01020304 fffffffe 61626364 ee"));
    // The values come back in the block rows below; here what a short reader refuses.
    marl::ByteReader reader(buffer.data(), 13);
    std::uint8_t u8 = 0;
    std::uint16_t u16 = 0;
    std::uint32_t u32 = 0;
    std::int32_t i32 = 0;
    ASSERT_TRUE(reader.skip(3) && reader.getU32(u32) && reader.getI32(i32));
    EXPECT_FALSE(reader.skip(huge) || reader.getBytes(buffer.data(), huge - 2) || reader.getU32(u32) ||
                 reader.getI32(i32));
    EXPECT_EQ(std::make_tuple(u32, i32, reader.left()), std::make_tuple(0x01020304u, -2, std::size_t{2}));
    EXPECT_TRUE(reader.getU16(u16) && !reader.getU8(u8) && u16 == 0x6162);
}

// A response needs its record up to returnCode; pointNameLength is read when
// it is there and 0 when not; a refused one leaves the output alone.
TEST(ResponseReader, TakesTheRecordUpToReturnCodeAndTheNameLengthWhenThere)
{
    const Bytes reply = datagramBytes(marl::ResponseDatagram{"ab", true, 7});
    for (const std::size_t size : {44, 45, 48, 49}) {
        marl::ByteReader reader(reply.data(), size);
        marl::ResponseFields got{{}, 9, 9, 9};
        EXPECT_EQ(marl::getResponse(reader, got), size >= 45) << size;
        const std::uint32_t nameLength = size < 45 ? 9 : size < 49 ? 0 : 2;
        EXPECT_EQ(std::make_tuple(got.header.id, got.pointIsSet, got.returnCode, got.pointNameLength),
                  size < 45 ? std::make_tuple(0u, std::uint8_t{9}, 9u, 9u)
                            : std::make_tuple(MARL_MSG_QUERY_POINT_RESPONSE, std::uint8_t{1}, 7u,
                                              nameLength));
    }
}

// ---- Counted strings

struct StringRow {
    const char* text;
    std::uint16_t maxLength;
    const char* wire;
    const char* readBack; // null: absent
};
using CountedString = CodecTest<StringRow>;

TEST_P(CountedString, IsWrittenExactlyAndReadBack)
{
    const auto& [text, maxLength, hex, readBack] = GetParam();
    const Bytes wire = hexBytes(hex);
    Bytes buffer(wire.size() + 1, 0xEE);
    EXPECT_EQ(oamMarlEncodeString(buffer.data(), text, maxLength), &buffer[wire.size()]);
    buffer.pop_back();
    EXPECT_EQ(buffer, wire);
    char* got = reinterpret_cast<char*>(&buffer);
    EXPECT_EQ(oamMarlDecodeString(wire.data(), &got), wire.data() + wire.size());
    EXPECT_EQ(got == nullptr ? "-" : got, std::string(readBack ? readBack : "-"));
    std::free(got);
    EXPECT_TRUE(platform().logs().empty());
}

INSTANTIATE_TEST_SUITE_P(Rows, CountedString,
                         ::testing::Values(StringRow{nullptr, 32, "0000", nullptr},
                                           StringRow{"", 32, "0000", nullptr},
                                           StringRow{"abc", 32, "0003 616263 00", "abc"},
                                           StringRow{"abc", 3, "0003 616263 00", "abc"},
                                           StringRow{"abcdef", 4, "0004 61626364 00", "abcd"},
                                           StringRow{"abc", 0, "0000", nullptr}));

// ---- Blocks

// The exported block reader's outputs, freed as its caller frees them: the
// record, null or not, then the texts.
struct Outs {
    marl::DynamicInfo info;

    std::uint8_t* read(std::uint8_t* input)
    {
        auto& t = info.texts;
        return oamMarlDecodeDynamicInfo(input, &info.thresholdInfo, &t[0], &t[1], &t[2], &t[3], &t[4], &t[5]);
    }
    ~Outs()
    {
        marl::releaseThresholdInfo(std::exchange(info.thresholdInfo, nullptr));
        marl::releaseDynamicInfo(info);
    }
};

struct BlockRow {
    std::string name;
    marl::DynamicInfoView view;
    std::size_t size;
    std::size_t counted; // as a sender counts it, uncut
    const char* wire;    // null: checked by size and read-back only
};
using Block = CodecTest<BlockRow>;

// Both writers write the same bytes; the bounded ones refuse any room short
// of the block, and the bounded reader any input cut short, unlogged.
TEST_P(Block, IsWrittenExactlyAndReadBack)
{
    const auto& [name, view, size, counted, hex] = GetParam();
    const auto& t = view.texts;
    Bytes wire(MARL_DYNAMIC_INFO_MAX_SIZE + 1, 0xEE);
    ASSERT_EQ(oamMarlEncodeDynamicInfo(wire.data(), view.thresholdInfo, t[0], t[1], t[2], t[3], t[4], t[5]),
              &wire[size]);
    EXPECT_EQ(wire[size], 0xEE);
    wire.resize(size);
    if (hex != nullptr) {
        EXPECT_EQ(wire, hexBytes(hex));
    }
    EXPECT_EQ(marl::countedBlockSize(view), counted);
    for (std::size_t room = 0; room <= size; ++room) {
        Bytes out(size);
        marl::ByteWriter writer(out.data(), room);
        EXPECT_EQ(marl::encodeDynamicInfo(writer, view), room == size) << room;
        EXPECT_TRUE(room < size || out == wire);
        marl::ByteReader reader(wire.data(), room);
        marl::DynamicInfo info;
        EXPECT_EQ(marl::decodeDynamicInfo(reader, info), room == size ? marl::DecodeStatus::ok
                                                                       : marl::DecodeStatus::pastEnd) << room;
        marl::releaseDynamicInfo(info);
    }
    Outs outs;
    EXPECT_EQ(outs.read(wire.data()), wire.data() + size);
    EXPECT_EQ(describe(viewOf(outs.info)), describe(view, true));
    EXPECT_TRUE(platform().logs().empty());
}

const std::string kLong(200, 'L');
const char* const kL = kLong.c_str();
const t_threshold_info kAb{const_cast<char*>("a"), {const_cast<char*>("b"), 1.0F, 2.0F}, 0.5F, 16};
const t_threshold_info kOdd{nullptr, {const_cast<char*>(""), -1.5F, 3.4028235e38F}, 0.1F, -16};
const t_threshold_info kCut{const_cast<char*>(kL), {const_cast<char*>("abcdef"), 0.25F, -0.0F}, 1e-45F,
                            static_cast<time_t>(std::int64_t{INT32_MIN} - 1)};
// Threshold information and six one-letter texts.
const marl::DynamicInfoView kFull{&kAb, {"m", "u", "p", "d", "1", "2"}};
const char* const kFullWire = "0016 00016100 00016200 3f800000 40000000 3f000000 00000010 "
                              "00016d00 00017500 00017000 00016400 00013100 00013200";

INSTANTIATE_TEST_SUITE_P(
    Rows, Block,
    ::testing::Values(
        BlockRow{"x_only", {nullptr, {"x"}}, 16, 16, "0000 00017800 0000 0000 0000 0000 0000"},
        BlockRow{"threshold_only", {&kAb, {}}, 38, 38,
                 "0016 00016100 00016200 3f800000 40000000 3f000000 00000010 0000 0000 0000 0000 0000 0000"},
        BlockRow{"empty_texts", {&kOdd, {"", "", "", "", "", "z"}}, 36, 42,
                 "0016 0000 0000 bfc00000 7f7fffff 3dcccccd fffffff0 0000 0000 0000 0000 0000 00017a00"},
        BlockRow{"full", kFull, 50, 50, kFullWire},
        BlockRow{"cut", {&kCut, {kL, kL, kL, kL, kL, kL}}, MARL_DYNAMIC_INFO_MAX_SIZE, 1448, nullptr}),
    [](const auto& p) { return p.param.name; });

// Null arguments: one line, a null result, none of the outputs written.
// Rows -4 to -1 are the other three functions, 0 to 7 the block reader's
// arguments.
using NullArgument = CodecTest<int>;

TEST_P(NullArgument, LogsOnceAndWritesNothing)
{
    Outs o;
    Bytes input = hexBytes(kFullWire);
    const int which = GetParam();
    const auto t = [&](int argument) {
        return argument == which ? nullptr : &o.info.texts[static_cast<std::size_t>(argument - 2)];
    };
    auto* in = which == 0 ? nullptr : input.data();
    auto** threshold = which == 1 ? nullptr : &o.info.thresholdInfo;
    const std::uint8_t* result =
        which == -4   ? oamMarlEncodeString(nullptr, "abc", 32)
        : which == -3 ? oamMarlDecodeString(nullptr, &o.info.texts[0])
        : which == -2 ? oamMarlDecodeString(input.data(), nullptr)
        : which == -1 ? oamMarlEncodeDynamicInfo(nullptr, nullptr, "x", "x", "x", "x", "x", "x")
                      : oamMarlDecodeDynamicInfo(in, threshold, t(2), t(3), t(4), t(5), t(6), t(7));
    EXPECT_EQ(result, nullptr);
    const std::array<const char*, 5> functions = {"oamMarlEncodeString", "oamMarlDecodeString",
                                                  "oamMarlDecodeString", "oamMarlEncodeDynamicInfo",
                                                  "oamMarlDecodeDynamicInfo"};
    const std::string name = functions[static_cast<std::size_t>(std::min(which + 4, 4))];
    const bool swerr = which < -1;
    const std::string text = (swerr ? "Marl Swerr: " : "") + name + ": Invalid input parameter";
    const char* needle = swerr ? "\"Marl Swerr: %s: Invalid input" : "\"%s: Invalid input parameter.\"";
    const std::string file = "marl/module/marlengine/src/marlEncDec.cpp";
    const LogLine line{swerr ? LOG_CRIT : LOG_ERR, taggedLine(file, needle, swerr ? text : text + ".")};
    EXPECT_EQ(platform().logs(), std::vector({line}));
    EXPECT_EQ(describe(viewOf(o.info)), describe({}));
}

INSTANTIATE_TEST_SUITE_P(Each, NullArgument, ::testing::Range(-4, 8));

// The bounded reader, as the point service reads a received datagram, tells
// that a text lacks its NUL; the exported one does not look at that byte,
// and ends each text with its own NUL. Any nonzero thresholdLength announces
// the section (0xFF16, 5).
TEST(BoundedCodec, SaysThatATextLacksItsNulAndTakesAnyThresholdLength)
{
    for (const auto& [offset, value] : std::vector<std::pair<std::size_t, const char*>>{
             {5, "7a"}, {9, "7a"}, {29, "7a"}, {33, "7a"}, {37, "7a"}, {41, "7a"}, {45, "7a"}, {49, "7a"},
             {0, "ff"}, {1, "05"}}) {
        Bytes wire = patched(hexBytes(kFullWire), offset, value);
        marl::ByteReader reader(wire.data(), wire.size());
        marl::DynamicInfo info;
        EXPECT_EQ(marl::decodeDynamicInfo(reader, info),
                  offset > 1 ? marl::DecodeStatus::missingNul : marl::DecodeStatus::ok) << offset;
        EXPECT_EQ(reader.left(), 0u);
        EXPECT_EQ(describe(viewOf(info)), describe(kFull));
        marl::releaseDynamicInfo(info);
        Outs outs;
        EXPECT_EQ(outs.read(wire.data()), wire.data() + wire.size());
        EXPECT_EQ(describe(viewOf(outs.info)), describe(kFull));
    }
}

} // namespace
