// The bounded big-endian streams and the record encoding built on them.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "byteStream.h"
#include "marlRecords.h"
#include "test_support.h"

using marl::ByteReader;
using marl::ByteWriter;
using marltest::hexBytes;

namespace {

// One row: how many bytes a write needs, the buffer's capacity, and whether
// the write must succeed. Exact fit passes, one byte short fails.
struct FitCase {
    const char* what;
    std::size_t capacity;
    bool (*write)(ByteWriter&);
    std::size_t needs;
};

class WriterFit : public ::testing::TestWithParam<FitCase> {};

TEST_P(WriterFit, SucceedsExactlyWhenTheValueFits)
{
    const FitCase& row = GetParam();
    std::vector<std::uint8_t> buffer(row.capacity + 1, 0xEE);
    ByteWriter writer(buffer.data(), row.capacity);
    const bool fits = row.capacity >= row.needs;
    EXPECT_EQ(row.write(writer), fits);
    EXPECT_EQ(writer.room(), fits ? row.capacity - row.needs : row.capacity) << "a failed write must not move";
    EXPECT_EQ(buffer[row.capacity], 0xEE) << "wrote past the capacity";
}

bool writeU8(ByteWriter& w) { return w.putU8(1); }
bool writeU16(ByteWriter& w) { return w.putU16(1); }
bool writeU32(ByteWriter& w) { return w.putU32(1); }
bool writeFiveBytes(ByteWriter& w) { return w.putBytes("abcde", 5); }

INSTANTIATE_TEST_SUITE_P(Rows, WriterFit,
                         ::testing::Values(FitCase{"u8 fits", 1, writeU8, 1}, FitCase{"u8 no room", 0, writeU8, 1},
                                           FitCase{"u16 fits", 2, writeU16, 2}, FitCase{"u16 short", 1, writeU16, 2},
                                           FitCase{"u32 fits", 4, writeU32, 4}, FitCase{"u32 short", 3, writeU32, 4},
                                           FitCase{"bytes fit", 5, writeFiveBytes, 5},
                                           FitCase{"bytes short", 4, writeFiveBytes, 5}),
                         [](const auto& param) { return marltest::testName(param.param.what); });

TEST(ByteWriter, WritesMostSignificantByteFirst)
{
    std::uint8_t buffer[11] = {};
    ByteWriter writer(buffer, sizeof buffer);
    ASSERT_TRUE(writer.putU8(0xA5) && writer.putU16(0x8C01) && writer.putU32(0x01020304) && writer.putI32(-2));
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 11), hexBytes("a5 8c01 01020304 fffffffe"));
}

TEST(ByteStreams, HugeCountsAreRefusedWithoutWrappingAround)
{
    // Opaque to the optimiser, which would otherwise flag the calls at build time.
    static volatile std::size_t huge = SIZE_MAX;
    std::uint8_t buffer[8] = {};
    ByteWriter writer(buffer + 4, 4);
    EXPECT_FALSE(writer.putBytes(buffer, huge));
    ByteReader reader(buffer, sizeof buffer);
    EXPECT_FALSE(reader.skip(huge));
    EXPECT_FALSE(reader.getBytes(buffer, huge - 2));
    EXPECT_EQ(reader.left(), sizeof buffer);
}

TEST(ByteReader, ReadsBackWhatTheWriterWroteAndStopsAtTheEnd)
{
    const auto bytes = hexBytes("a5 8c02 fffffffe 61");
    ByteReader reader(bytes.data(), bytes.size());
    std::uint8_t u8 = 0;
    std::uint16_t u16 = 0;
    std::int32_t i32 = 0;
    ASSERT_TRUE(reader.getU8(u8) && reader.getU16(u16) && reader.getI32(i32));
    EXPECT_EQ(u8, 0xA5);
    EXPECT_EQ(u16, 0x8C02);
    EXPECT_EQ(i32, -2);
    std::uint32_t u32 = 7;
    EXPECT_FALSE(reader.getU32(u32)) << "only one byte is left";
    EXPECT_EQ(u32, 7u) << "a failed read must not write its output";
    EXPECT_EQ(reader.left(), 1u);
    EXPECT_TRUE(reader.getU8(u8));
    EXPECT_FALSE(reader.getU8(u8));
}

TEST(Records, UpdateRecordGoesOutFieldByFieldBigEndian)
{
    t_marl_update_point_msg msg{};
    msg.header.id = MARL_MSG_UPDATE_POINT_EXT;
    msg.header.length = 0x01020304;
    msg.header.control = 0x05060708;
    msg.header.sequence = 0x090A;
    msg.header.sequenceReply = 0x0B0C;
    msg.header.txTime = {-1, 2};
    msg.header.rxTime = {3, 4};
    msg.header.timeReply = {5, 0x7FFFFFFF};
    msg.setPoint = 1;
    msg.sendResponse = 1;
    msg.pointNameLength = 0xA1B2C3D4;
    std::uint8_t buffer[MARL_UPDATE_POINT_MSG_SIZE];
    ByteWriter exact(buffer, sizeof buffer);
    ASSERT_TRUE(marl::putUpdatePointMsg(exact, msg));
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + sizeof buffer),
              hexBytes("00008c04 01020304 05060708 090a 0b0c ffffffff 00000002 00000003 00000004"
                       "00000005 7fffffff 01 01 a1b2c3d4"));
    ByteWriter shortByOne(buffer, sizeof buffer - 1);
    EXPECT_FALSE(marl::putUpdatePointMsg(shortByOne, msg));
}

} // namespace
