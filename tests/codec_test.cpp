// The wire code below the client: the bounded streams and the
// runtime-information codec with its exact bytes, what its readers give back
// and every way they fail. (The client's rows read responses of every length.)
#include <gtest/gtest.h>
#include <syslog.h>

#include <array>
#include <cstdlib>
#include <utility>

#include "marlEncDec.h"
#include "marlRecords.h"
#include "platform_interposer.h"
#include "test_support.h"

using namespace marltest;

namespace {

// ---- The streams: exact fit passes, one byte more fails and moves nothing,
// and counts are compared, so that none wraps around. The block rows below
// reach every integer's put and get at every room.

TEST(ByteStreams, CheckTheRoomBeforeEveryAccess)
{
    static volatile std::size_t huge = SIZE_MAX; // opaque, or the compiler flags the calls
    Bytes buffer(6, 0xEE);
    for (std::size_t room = 0; room <= 5; ++room) {
        marl::ByteWriter writer(buffer.data(), room);
        EXPECT_EQ(writer.putU8(0x8C) && writer.putBytes("abcd", 4) && !writer.putBytes("", huge), room == 5);
        EXPECT_EQ(buffer[room], 0xEE) << "wrote past the room";
    }
    EXPECT_EQ(buffer, hexBytes("8c 61626364 ee"));
    marl::ByteReader in(buffer.data(), 5);
    char text[8] = ""; // the refusals below show in the results, not as overruns
    EXPECT_FALSE(in.skip(huge) || in.skip(6) || in.getBytes(text, huge) || in.getBytes(text, 6));
    EXPECT_TRUE(in.skip(1) && in.getBytes(text, 4) && in.left() == 0 && text == std::string("abcd"));
}

// ---- Counted strings: cut to their maximum, and one empty or cut to nothing
// goes out as absent, with no NUL after its length.
TEST(CountedString, IsWrittenExactlyAndReadBack)
{
    for (const auto& [text, maxLength, hex, readBack] :
         std::vector<std::tuple<const char*, std::uint16_t, std::string, std::string>>{
             {nullptr, 32, "0000", "-"}, {"", 32, "0000", "-"}, {"abc", 3, "0003 616263 00", "abc"},
             {"abcdef", 4, "0004 61626364 00", "abcd"}}) {
        Bytes buffer(hexBytes(hex).size() + 1, 0xEE);
        EXPECT_EQ(oamMarlEncodeString(buffer.data(), text, maxLength), &buffer.back());
        EXPECT_EQ(buffer, hexBytes(hex + "ee"));
        char* got = reinterpret_cast<char*>(&buffer);
        EXPECT_EQ(oamMarlDecodeString(buffer.data(), &got), &buffer.back());
        EXPECT_EQ(got == nullptr ? "-" : got, readBack);
        std::free(got);
    }
}

// ---- Blocks

// A reader's outputs, released whatever the read left in them.
struct Outs {
    marl::DynamicInfo info;
    ~Outs() { marl::releaseDynamicInfo(info); }
};

struct BlockRow {
    std::string name;
    marl::DynamicInfoView view;
    std::size_t size;
    std::size_t counted; // as a sender counts it, uncut
    std::string wire;    // empty: checked by size and read-back only
    std::pair<std::size_t, std::string> patch{}; // what the readers read: the wire patched there with this
    marl::DecodeStatus status = marl::DecodeStatus::ok;
};
using Block = ::testing::TestWithParam<BlockRow>;

// Both writers write the same bytes; the bounded ones refuse any room short
// of the block, and the bounded reader any input cut short, unlogged. The
// bounded reader, as the point service reads a received datagram, tells that
// a text lacks its NUL; the exported one does not look at that byte, and ends
// each text with its own NUL.
TEST_P(Block, IsWrittenExactlyAndReadBack)
{
    platform().clearLogs();
    const auto& [name, view, size, counted, hex, patch, status] = GetParam();
    const auto& t = view.texts;
    Bytes wire(MARL_DYNAMIC_INFO_MAX_SIZE + 1, 0xEE);
    ASSERT_EQ(oamMarlEncodeDynamicInfo(wire.data(), view.thresholdInfo, t[0], t[1], t[2], t[3], t[4], t[5]),
              &wire[size]);
    EXPECT_EQ(wire[size], 0xEE);
    wire.resize(size);
    EXPECT_EQ(hex.empty() ? wire : hexBytes(hex), wire);
    EXPECT_EQ(marl::countedBlockSize(view), counted);
    Bytes input = patched(wire, patch.first, patch.second);
    for (std::size_t room = 0; room <= size; ++room) {
        Bytes out(size);
        marl::ByteWriter writer(out.data(), room);
        EXPECT_EQ(marl::encodeDynamicInfo(writer, view), room == size) << room;
        EXPECT_TRUE(room < size || out == wire);
        marl::ByteReader reader(input.data(), room);
        Outs bounded;
        const auto expected = room < size ? marl::DecodeStatus::pastEnd : status;
        EXPECT_EQ(marl::decodeDynamicInfo(reader, bounded.info), expected) << room;
        EXPECT_TRUE(room < size || describe(viewOf(bounded.info)) == describe(view, true));
    }
    Outs exported;
    auto& [record, o] = exported.info;
    EXPECT_EQ(oamMarlDecodeDynamicInfo(input.data(), &record, &o[0], &o[1], &o[2], &o[3], &o[4], &o[5]),
              input.data() + size);
    EXPECT_EQ(describe(viewOf(exported.info)), describe(view, true));
    EXPECT_TRUE(platform().logs().empty());
}

const std::string kL(200, 'L');
const t_threshold_info kAb{const_cast<char*>("a"), {const_cast<char*>("b"), 1.0F, 2.0F}, 0.5F, 16};
const t_threshold_info kOdd{nullptr, {const_cast<char*>(""), -1.5F, 3.4028235e38F}, 0.1F, -16};
const char* const l = kL.c_str();
const t_threshold_info kCut{const_cast<char*>(l), {const_cast<char*>("abcdef"), 0.25F, -0.0F}, 1e-45F,
                            static_cast<time_t>(std::int64_t{INT32_MIN} - 1)};
// Threshold information and six one-letter texts.
const marl::DynamicInfoView kFull{&kAb, {"m", "u", "p", "d", "1", "2"}};
const char* const kFullWire = "0016 00016100 00016200 3f800000 40000000 3f000000 00000010 "
                              "00016d00 00017500 00017000 00016400 00013100 00013200";

// With a 'z' for the NUL after attributeId, and any nonzero thresholdLength, which announces the section.
INSTANTIATE_TEST_SUITE_P(
    Rows, Block,
    ::testing::Values(
        BlockRow{"x_only", {nullptr, {"x"}}, 16, 16, "0000 00017800 0000 0000 0000 0000 0000"},
        BlockRow{"empty_texts", {&kOdd, {"", "", "", "", "", "z"}}, 36, 42,
                 "0016 0000 0000 bfc00000 7f7fffff 3dcccccd fffffff0 0000 0000 0000 0000 0000 00017a00"},
        BlockRow{"full", kFull, 50, 50, kFullWire},
        BlockRow{"cut", {&kCut, {l, l, l, l, l, l}}, MARL_DYNAMIC_INFO_MAX_SIZE, 1448, ""},
        BlockRow{"nul_missing", kFull, 50, 50, kFullWire, {5, "7a"}, marl::DecodeStatus::missingNul},
        BlockRow{"threshold_length_ff16", kFull, 50, 50, kFullWire, {0, "ff"}}),
    [](const auto& p) { return p.param.name; });

// Null arguments: one line, a null result, none of the outputs written.
// Rows -4 to -1 are the other three functions, 0 to 7 the block reader's
// arguments.
using NullArgument = ::testing::TestWithParam<int>;

TEST_P(NullArgument, LogsOnceAndWritesNothing)
{
    platform().clearLogs();
    Outs o;
    Bytes input = hexBytes(kFullWire);
    const int which = GetParam();
    const auto t = [&](std::size_t i) { return int(i) + 2 == which ? nullptr : &o.info.texts[i]; };
    auto* in = which == 0 ? nullptr : input.data();
    auto** threshold = which == 1 ? nullptr : &o.info.thresholdInfo;
    const std::uint8_t* result =
        which == -4   ? oamMarlEncodeString(nullptr, "abc", 32)
        : which == -3 ? oamMarlDecodeString(nullptr, &o.info.texts[0])
        : which == -2 ? oamMarlDecodeString(input.data(), nullptr)
        : which == -1 ? oamMarlEncodeDynamicInfo(nullptr, nullptr, "x", "x", "x", "x", "x", "x")
                      : oamMarlDecodeDynamicInfo(in, threshold, t(0), t(1), t(2), t(3), t(4), t(5));
    const bool swerr = which < -1;
    const std::string fn = "oamMarl" + std::string(which == -4 ? "EncodeString" : swerr ? "DecodeString"
                                                   : which < 0 ? "EncodeDynamicInfo" : "DecodeDynamicInfo");
    const std::string text = (swerr ? "Marl Swerr: " + fn : fn) + ": Invalid input parameter" + (swerr ? "" : ".");
    const char* needle = swerr ? "\"Marl Swerr: %s: Invalid input" : "\"%s: Invalid input parameter.\"";
    const std::string file = "marl/module/marlengine/src/marlEncDec.cpp";
    const LogLine line{swerr ? LOG_CRIT : LOG_ERR, taggedLine(file, needle, text)};
    EXPECT_EQ(std::tuple(result, platform().logs(), describe(viewOf(o.info))),
              std::tuple(nullptr, std::vector({line}), describe({})));
}

INSTANTIATE_TEST_SUITE_P(Each, NullArgument, ::testing::Range(-4, 8));

} // namespace
