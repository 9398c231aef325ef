// The wire code below the client: the bounded streams, the record readers,
// and the runtime-information codec with its exact bytes, what its readers
// give back and every way they fail.
#include <gtest/gtest.h>
#include <syslog.h>

#include <algorithm>
#include <array>
#include <cstdlib>

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

LogLine codecLog(int priority, const std::string& needle, const std::string& text)
{
    return {priority, taggedLine("marl/module/marlengine/src/marlEncDec.cpp", needle, text)};
}
LogLine swerr(const std::string& function, const std::string& what)
{
    return codecLog(LOG_CRIT, "\"Marl Swerr: %s: " + what.substr(0, what.find(", size")), "Marl Swerr: " + function + ": " + what);
}
// ---- The streams: exact fit passes, one byte short fails and moves
// nothing; counts are compared, so none wraps around.

TEST(ByteStreams, CheckTheRoomBeforeEveryAccess)
{
    static volatile std::size_t huge = SIZE_MAX; // opaque, or the compiler flags the calls
    Bytes buffer(16, 0xEE);
    for (std::size_t room = 0; room <= 15; ++room) {
        marl::ByteWriter writer(buffer.data(), room);
        const bool fits = writer.putU8(0xA5) && writer.putU16(0x8C01) && writer.putU32(0x01020304) && writer.putI32(-2) &&
                          writer.putBytes("abcd", 4) && !writer.putBytes(buffer.data(), huge);
        EXPECT_EQ(fits, room == 15);
        EXPECT_EQ(buffer[room], 0xEE) << "wrote past the room";
        EXPECT_LE(writer.room(), 3u);
    }
    buffer.pop_back();
    EXPECT_EQ(buffer, hexBytes("a5 8c01 01020304 fffffffe 61626364"));
    marl::ByteReader reader(buffer.data(), 13);
    std::uint8_t u8 = 0;
    std::uint16_t u16 = 0;
    std::uint32_t u32 = 0;
    std::int32_t i32 = 0;
    ASSERT_TRUE(reader.getU8(u8) && reader.getU16(u16) && reader.getU32(u32) && reader.getI32(i32));
    EXPECT_EQ(std::make_tuple(u8, u16, u32, i32), std::make_tuple(0xA5, 0x8C01, 0x01020304u, -2));
    EXPECT_FALSE(reader.skip(huge) || reader.getBytes(buffer.data(), huge - 2) || reader.getU32(u32) || reader.getI32(i32));
    EXPECT_EQ(std::make_tuple(u32, i32, reader.left()), std::make_tuple(0x01020304u, -2, std::size_t{2}));
    EXPECT_TRUE(reader.getU16(u16) && !reader.getU8(u8) && u16 == 0x6162);
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
    const Bytes wire = hexBytes(GetParam().wire);
    Bytes buffer(wire.size() + 1, 0xEE);
    EXPECT_EQ(oamMarlEncodeString(buffer.data(), GetParam().text, GetParam().maxLength), &buffer[wire.size()]);
    buffer.pop_back();
    EXPECT_EQ(buffer, wire);
    char* text = reinterpret_cast<char*>(&buffer);
    EXPECT_EQ(oamMarlDecodeString(wire.data(), &text), wire.data() + wire.size());
    EXPECT_EQ(text == nullptr ? "-" : text, std::string(GetParam().readBack ? GetParam().readBack : "-"));
    std::free(text);
    EXPECT_TRUE(platform().logs().empty());
}

INSTANTIATE_TEST_SUITE_P(Rows, CountedString,
                         ::testing::Values(StringRow{nullptr, 32, "0000", nullptr}, StringRow{"", 32, "0000", nullptr},
                                           StringRow{"abc", 32, "0003 616263 00", "abc"}, StringRow{"abc", 3, "0003 616263 00", "abc"},
                                           StringRow{"abcdef", 4, "0004 61626364 00", "abcd"}, StringRow{"abc", 0, "0000", nullptr}));

// ---- Blocks

// The exported block reader's outputs, each starting at a sentinel, so that
// one written when it should not be is caught.
struct Outs {
    char sentinel = 0;
    marl::DynamicInfo info{reinterpret_cast<t_threshold_info*>(&sentinel), {&sentinel, &sentinel, &sentinel, &sentinel, &sentinel, &sentinel}};

    std::uint8_t* read(std::uint8_t* input)
    {
        auto& t = info.texts;
        return oamMarlDecodeDynamicInfo(input, &info.thresholdInfo, &t[0], &t[1], &t[2], &t[3], &t[4], &t[5]);
    }
    bool untouched() const
    {
        return info.thresholdInfo == reinterpret_cast<const t_threshold_info*>(&sentinel) &&
               std::count(info.texts.begin(), info.texts.end(), &sentinel) == 6;
    }
    ~Outs()
    {
        if (!untouched()) {
            marl::releaseDynamicInfo(info);
        }
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

TEST_P(Block, IsWrittenExactlyAndReadBack)
{
    const auto& [name, view, size, counted, hex] = GetParam();
    const auto& t = view.texts;
    Bytes wire(MARL_DYNAMIC_INFO_MAX_SIZE + 1, 0xEE);
    ASSERT_EQ(oamMarlEncodeDynamicInfo(wire.data(), view.thresholdInfo, t[0], t[1], t[2], t[3], t[4], t[5]), &wire[size]);
    EXPECT_EQ(wire[size], 0xEE);
    if (hex != nullptr) {
        EXPECT_EQ(Bytes(wire.begin(), wire.begin() + static_cast<long>(size)), hexBytes(hex));
    }
    EXPECT_EQ(marl::countedBlockSize(view), counted);
    Outs outs;
    EXPECT_EQ(outs.read(wire.data()), &wire[size]);
    EXPECT_EQ(describe(viewOf(outs.info)), describe(view, true));
    EXPECT_TRUE(platform().logs().empty());
}

const std::string kLong(200, 'L');
const t_threshold_info kAb{const_cast<char*>("a"), {const_cast<char*>("b"), 1.0F, 2.0F}, 0.5F, 16};
const t_threshold_info kOdd{nullptr, {const_cast<char*>(""), -1.5F, 3.4028235e38F}, 0.1F, -16};
const t_threshold_info kCut{const_cast<char*>(kLong.c_str()), {const_cast<char*>("abcdef"), 0.25F, -0.0F}, 1e-45F,
                            static_cast<time_t>(std::int64_t{INT32_MIN} - 1)};
const char* const kL = kLong.c_str();

INSTANTIATE_TEST_SUITE_P(
    Rows, Block,
    ::testing::Values(BlockRow{"x_only", {nullptr, {"x"}}, 16, 16, "0000 00017800 0000 0000 0000 0000 0000"},
                      BlockRow{"threshold_only", {&kAb, {}}, 38, 38,
                               "0016 00016100 00016200 3f800000 40000000 3f000000 00000010 0000 0000 0000 0000 0000 0000"},
                      BlockRow{"empty_texts", {&kOdd, {"", "", "", "", "", "z"}}, 36, 42,
                               "0016 0000 0000 bfc00000 7f7fffff 3dcccccd fffffff0 0000 0000 0000 0000 0000 00017a00"},
                      BlockRow{"cut", {&kCut, {kL, kL, kL, kL, kL, kL}}, MARL_DYNAMIC_INFO_MAX_SIZE, 1448, nullptr}),
    [](const auto& p) { return p.param.name; });

// Threshold information and six one-letter texts: 50 bytes.
const marl::DynamicInfoView kFull{&kAb, {"m", "u", "p", "d", "1", "2"}};
Bytes fullBlock()
{
    Bytes wire(50);
    EXPECT_EQ(oamMarlEncodeDynamicInfo(wire.data(), &kAb, "m", "u", "p", "d", "1", "2"), &wire[0] + 50);
    return wire;
}

// Null arguments: one line, a null result, nothing written. Rows -4 to -1
// are the other three functions, 0 to 7 the block reader's arguments.
using NullArgument = CodecTest<int>;

TEST_P(NullArgument, LogsOnceAndWritesNothing)
{
    Outs o;
    std::uint8_t input[14] = {};
    const int which = GetParam();
    const auto text = [&](int argument) { return argument == which ? nullptr : &o.info.texts[static_cast<std::size_t>(argument - 2)]; };
    const std::uint8_t* result =
        which == -4   ? oamMarlEncodeString(nullptr, "abc", 32)
        : which == -3 ? oamMarlDecodeString(nullptr, &o.info.texts[0])
        : which == -2 ? oamMarlDecodeString(input, nullptr)
        : which == -1 ? oamMarlEncodeDynamicInfo(nullptr, nullptr, "x", "x", "x", "x", "x", "x")
                      : oamMarlDecodeDynamicInfo(which == 0 ? nullptr : input, which == 1 ? nullptr : &o.info.thresholdInfo, text(2),
                                                 text(3), text(4), text(5), text(6), text(7));
    EXPECT_EQ(result, nullptr);
    const std::array<const char*, 5> function = {"oamMarlEncodeString", "oamMarlDecodeString", "oamMarlDecodeString",
                                                 "oamMarlEncodeDynamicInfo", "oamMarlDecodeDynamicInfo"};
    const std::string name = function[static_cast<std::size_t>(std::min(which + 4, 4))];
    EXPECT_EQ(platform().logs(), std::vector({which < -1 ? swerr(name, "Invalid input parameter")
                                                         : codecLog(LOG_ERR, "\"%s: Invalid input parameter.\"", name + ": Invalid input parameter.")}));
    EXPECT_TRUE(o.untouched());
}

INSTANTIATE_TEST_SUITE_P(Each, NullArgument, ::testing::Range(-4, 8));

// ---- The bounded core, as the point service reads a received datagram

TEST(BoundedCodec, RefusesEveryInputThatEndsInsideTheBlockAndSaysWhichTextLacksItsNul)
{
    platform().clearLogs();
    const Bytes wire = fullBlock();
    for (std::size_t size = 0; size <= wire.size(); ++size) {
        marl::ByteReader reader(wire.data(), size);
        marl::DynamicInfo info;
        EXPECT_EQ(marl::decodeDynamicInfo(reader, info), size == wire.size() ? marl::DecodeStatus::ok : marl::DecodeStatus::pastEnd) << size;
        marl::releaseDynamicInfo(info);
    }
    EXPECT_TRUE(platform().logs().empty()) << "bounds failures are the caller's to report";
    Bytes out(wire.size());
    marl::ByteWriter shortByOne(out.data(), out.size() - 1);
    EXPECT_FALSE(marl::encodeDynamicInfo(shortByOne, kFull));
    // The NULs after the eight texts, then threshold lengths 0xFF16 and 5.
    for (const auto& [offset, value] : std::vector<std::pair<std::size_t, std::uint8_t>>{
             {5, 'z'}, {9, 'z'}, {29, 'z'}, {33, 'z'}, {37, 'z'}, {41, 'z'}, {45, 'z'}, {49, 'z'}, {0, 0xFF}, {1, 0x05}}) {
        Bytes patched = wire;
        patched[offset] = value;
        marl::ByteReader reader(patched.data(), patched.size());
        marl::DynamicInfo info;
        EXPECT_EQ(marl::decodeDynamicInfo(reader, info), offset > 1 ? marl::DecodeStatus::missingNul : marl::DecodeStatus::ok) << offset;
        EXPECT_EQ(reader.left(), 0u);
        EXPECT_EQ(describe(viewOf(info)), describe(kFull));
        marl::releaseDynamicInfo(info);
        Outs outs; // the exported reader does not look at that byte, and ends each text with its own NUL
        EXPECT_EQ(outs.read(patched.data()), &patched[0] + patched.size());
        EXPECT_EQ(describe(viewOf(outs.info)), describe(kFull));
    }
}

} // namespace
