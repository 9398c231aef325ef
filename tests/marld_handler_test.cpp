// marld's datagram handler and point store: every check against the bytes
// received, the exact reply to a query, and the state that updates leave.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "datagramHandler.h"
#include "test_support.h"

using marld::DatagramHandler;
using marld::DropReason;
using marld::Dropped;
using marld::Outcome;
using marld::PointNames;
using marld::PointStore;
using marld::QueryAnswered;
using marld::UpdateAccepted;
using marltest::hexBytes;
using Bytes = std::vector<std::uint8_t>;

namespace {

const marld::WallClock::time_point kT0{std::chrono::seconds(1'700'000'000)};
const marld::WallClock::time_point kT1 = kT0 + std::chrono::seconds(5);
const marld::WallClock::time_point kT2 = kT0 + std::chrono::seconds(9);
constexpr marld::Endpoint kSender{0x7F000001, 40000};

// control, sequence numbers and the three times: 32 bytes of zero.
const std::string kRestOfHeader(64, '0');

Bytes be32(std::uint32_t value)
{
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

Bytes operator+(Bytes head, const Bytes& tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

Bytes bytesOf(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

// A datagram of identifier `id`: header, then `body`. The header's length is
// the datagram's size unless `length` is given.
Bytes datagram(std::uint32_t id, const Bytes& body, std::optional<std::uint32_t> length = std::nullopt)
{
    return be32(id) + be32(length.value_or(static_cast<std::uint32_t>(40 + body.size()))) +
           hexBytes(kRestOfHeader) + body;
}

// An update's body; `nameLength` defaults to the name's size.
Bytes updateBody(std::uint8_t setPoint, std::string_view name, std::optional<std::uint32_t> nameLength = {},
                 const Bytes& block = {})
{
    return Bytes{setPoint, 0} + be32(nameLength.value_or(static_cast<std::uint32_t>(name.size()))) +
           bytesOf(name) + block;
}

Bytes queryBody(std::string_view name, std::optional<std::uint32_t> nameLength = {})
{
    return be32(nameLength.value_or(static_cast<std::uint32_t>(name.size()))) + bytesOf(name);
}

Bytes update(std::uint8_t setPoint, std::string_view name)
{
    return datagram(MARL_MSG_UPDATE_POINT, updateBody(setPoint, name));
}

Bytes query(std::string_view name)
{
    return datagram(MARL_MSG_QUERY_POINT, queryBody(name));
}

// The smallest dynamic information block, and one byte less.
const Bytes kEmptyBlock(14, 0);
const Bytes kShortBlock(13, 0);

// What a reply must hold, written out field by field.
Bytes expectedReply(std::uint8_t pointIsSet, std::uint32_t returnCode, std::string_view name)
{
    return datagram(MARL_MSG_QUERY_POINT_RESPONSE,
                    Bytes{pointIsSet} + be32(returnCode) + be32(static_cast<std::uint32_t>(name.size())) +
                        bytesOf(name));
}

// The store holds one point, so that a second one finds it full.
class HandlerTest : public ::testing::Test {
protected:
    Outcome handle(const Bytes& bytes, marld::WallClock::time_point now = kT1)
    {
        return handler.handle(bytes.data(), bytes.size(), kSender, now);
    }

    PointStore store{1};
    PointNames names;
    DatagramHandler handler{store, names};
};

// ---- Drops: each rule against a clear of ab that would change the state.

struct DropCase {
    const char* what;
    Bytes bytes;
    DropReason reason;
};

class HandlerDrops : public HandlerTest, public ::testing::WithParamInterface<DropCase> {};

TEST_P(HandlerDrops, CountsTheReasonAndLeavesTheStateAlone)
{
    ASSERT_TRUE(std::holds_alternative<UpdateAccepted>(handle(update(1, "ab"), kT0)));

    const Outcome outcome = handle(GetParam().bytes);

    ASSERT_TRUE(std::holds_alternative<Dropped>(outcome));
    EXPECT_EQ(std::get<Dropped>(outcome).reason, GetParam().reason);
    const marld::Counters& counters = handler.counters();
    EXPECT_EQ(counters.received, 2u);
    EXPECT_EQ(counters.updates, 1u);
    EXPECT_EQ(counters.queries, 0u);
    EXPECT_EQ(counters.droppedBy(GetParam().reason), 1u);
    EXPECT_EQ(counters.droppedTotal(), 1u);
    ASSERT_EQ(store.size(), 1u);
    const marld::PointState* ab = store.find("ab");
    ASSERT_NE(ab, nullptr);
    EXPECT_TRUE(ab->isSet);
    EXPECT_EQ(ab->updateCount, 1u);
    EXPECT_EQ(ab->lastChange, kT0);
    EXPECT_FALSE(ab->runtimeInfo.has_value());
}

const std::string k601(601, 'n');

// Every byte that a name may hold: 0x20 to 0xFF but 0x7F.
const std::string kAllowedBytes = [] {
    std::string bytes;
    for (int byte = 0x20; byte <= 0xFF; ++byte) {
        bytes += byte == 0x7F ? "" : std::string(1, static_cast<char>(byte));
    }
    return bytes;
}();

INSTANTIATE_TEST_SUITE_P(
    Rules, HandlerDrops,
    ::testing::Values(
        DropCase{"empty", {}, DropReason::shortDatagram},
        DropCase{"header_less_one", Bytes(39, 0), DropReason::shortDatagram},
        DropCase{"update_header_only", datagram(MARL_MSG_UPDATE_POINT, {}), DropReason::shortDatagram},
        DropCase{"query_record_less_one", datagram(MARL_MSG_QUERY_POINT, {0, 0, 0}), DropReason::shortDatagram},
        DropCase{"response_8c02", expectedReply(0, 0, "ab"), DropReason::unknownId},
        DropCase{"id_1234", datagram(0x1234, updateBody(0, "ab")), DropReason::unknownId},
        DropCase{"update_length_one_less", datagram(MARL_MSG_UPDATE_POINT, updateBody(0, "ab"), 47),
                 DropReason::lengthMismatch},
        DropCase{"update_length_one_more", datagram(MARL_MSG_UPDATE_POINT, updateBody(0, "ab"), 49),
                 DropReason::lengthMismatch},
        DropCase{"query_length_one_less", datagram(MARL_MSG_QUERY_POINT, queryBody("ab"), 45),
                 DropReason::lengthMismatch},
        DropCase{"query_length_one_more", datagram(MARL_MSG_QUERY_POINT, queryBody("ab"), 47),
                 DropReason::lengthMismatch},
        DropCase{"update_length_negative", datagram(MARL_MSG_UPDATE_POINT, updateBody(0, "ab"), 0xFFFFFFD0),
                 DropReason::lengthMismatch},
        DropCase{"update_name_past_end_by_one", datagram(MARL_MSG_UPDATE_POINT, updateBody(0, "ab", 3)),
                 DropReason::nameOverrun},
        DropCase{"update_name_length_ffffffff", datagram(MARL_MSG_UPDATE_POINT, updateBody(0, "ab", 0xFFFFFFFF)),
                 DropReason::nameOverrun},
        DropCase{"ext_name_length_ffffffff",
                 datagram(MARL_MSG_UPDATE_POINT_EXT, updateBody(0, "ab", 0xFFFFFFFF, kEmptyBlock)),
                 DropReason::nameOverrun},
        DropCase{"query_name_past_end_by_one", datagram(MARL_MSG_QUERY_POINT, queryBody("ab", 3)),
                 DropReason::nameOverrun},
        DropCase{"query_name_length_ffffffff", datagram(MARL_MSG_QUERY_POINT, queryBody("ab", 0xFFFFFFFF)),
                 DropReason::nameOverrun},
        DropCase{"update_byte_after_name", datagram(MARL_MSG_UPDATE_POINT, updateBody(0, "ab", 1)),
                 DropReason::trailingBytes},
        DropCase{"query_byte_after_name", datagram(MARL_MSG_QUERY_POINT, queryBody("ab", 1)),
                 DropReason::trailingBytes},
        DropCase{"update_empty_name", update(0, ""), DropReason::invalidName},
        DropCase{"update_name_with_nul", update(0, std::string_view("a\0b", 3)), DropReason::invalidName},
        DropCase{"update_name_with_1f", update(0, "a\x1f"), DropReason::invalidName},
        DropCase{"update_name_with_7f", update(0, "a\x7f"), DropReason::invalidName},
        DropCase{"update_name_of_601", update(0, k601), DropReason::invalidName},
        DropCase{"ext_empty_name", datagram(MARL_MSG_UPDATE_POINT_EXT, updateBody(0, "", {}, kEmptyBlock)),
                 DropReason::invalidName},
        DropCase{"ext_of_647_bytes",
                 datagram(MARL_MSG_UPDATE_POINT_EXT, updateBody(0, "ab", {}, Bytes(647 - 48, 0))),
                 DropReason::updateTooLong},
        DropCase{"ext_block_of_13", datagram(MARL_MSG_UPDATE_POINT_EXT, updateBody(0, "ab", {}, kShortBlock)),
                 DropReason::invalidRuntimeInfo},
        DropCase{"ext_without_block", datagram(MARL_MSG_UPDATE_POINT_EXT, updateBody(0, "ab")),
                 DropReason::invalidRuntimeInfo},
        DropCase{"ext_threshold_past_end",
                 datagram(MARL_MSG_UPDATE_POINT_EXT,
                          updateBody(0, "ab", {}, hexBytes("0016 0001 61 00 0001 62 00 3f800000 40000000 3f000000 0000"))),
                 DropReason::invalidRuntimeInfo},
        DropCase{"ext_text_without_nul",
                 datagram(MARL_MSG_UPDATE_POINT_EXT, updateBody(0, "ab", {}, hexBytes("0000 0001 78 41 0000 0000 0000 0000 0000"))),
                 DropReason::invalidRuntimeInfo},
        DropCase{"ext_nonzero_after_block",
                 datagram(MARL_MSG_UPDATE_POINT_EXT, updateBody(0, "ab", {}, hexBytes("0000 0000 0000 0000 0000 0000 0000 00 01"))),
                 DropReason::invalidRuntimeInfo},
        DropCase{"new_point_with_store_full", update(0, "cd"), DropReason::storeFull}),
    [](const auto& param) { return std::string(param.param.what); });

// ---- Updates.

TEST_F(HandlerTest, UpdatesReportOldAndNewStateAndKeepCountAndTimeOfChange)
{
    struct Step {
        Bytes bytes;
        marld::WallClock::time_point at;
        bool oldSet, newSet;
        std::uint64_t count;
        marld::WallClock::time_point lastChange;
    };
    const std::vector<Step> steps = {
        {hexBytes("00008c00 00000030" + kRestOfHeader + "00 00 00000002 6162"), kT0, false, false, 1, kT0},
        {hexBytes("00008c00 00000030" + kRestOfHeader + "01 00 00000002 6162"), kT1, false, true, 2, kT1},
        {update(1, "ab"), kT2, true, true, 3, kT1}, // a repeated state is no change
    };
    for (const Step& step : steps) {
        const Outcome outcome = handle(step.bytes, step.at);
        ASSERT_TRUE(std::holds_alternative<UpdateAccepted>(outcome));
        const auto& accepted = std::get<UpdateAccepted>(outcome);
        EXPECT_EQ(accepted.point, "ab");
        EXPECT_FALSE(accepted.extended);
        EXPECT_EQ(accepted.change.oldSet, step.oldSet);
        EXPECT_EQ(accepted.change.newSet, step.newSet);
        EXPECT_EQ(accepted.change.updateCount, step.count);
        const marld::PointState* ab = store.find("ab");
        ASSERT_NE(ab, nullptr);
        EXPECT_EQ(ab->isSet, step.newSet);
        EXPECT_EQ(ab->updateCount, step.count);
        EXPECT_EQ(ab->lastChange, step.lastChange);
    }
    EXPECT_EQ(handler.counters().updates, 3u);
    EXPECT_EQ(handler.counters().droppedTotal(), 0u);
}

TEST_F(HandlerTest, ExtendedUpdateKeepsItsBlockUntilTheNextExtendedUpdate)
{
    const Bytes firstBlock = hexBytes("0000 0001 78 00 0000 0000 0000 0000 0000");
    const Bytes secondBlock = kEmptyBlock;
    const Outcome outcome = handle(datagram(MARL_MSG_UPDATE_POINT_EXT, updateBody(1, "ab", {}, firstBlock)));
    ASSERT_TRUE(std::holds_alternative<UpdateAccepted>(outcome));
    EXPECT_TRUE(std::get<UpdateAccepted>(outcome).extended);
    const auto& decoded = std::get<UpdateAccepted>(outcome).runtimeInfo;
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->blockSize, 16u);
    EXPECT_FALSE(decoded->threshold.has_value());
    EXPECT_EQ(decoded->texts[0], "x");

    ASSERT_TRUE(std::holds_alternative<UpdateAccepted>(handle(update(0, "ab"))));
    ASSERT_TRUE(store.find("ab")->runtimeInfo.has_value());
    EXPECT_EQ(store.find("ab")->runtimeInfo->texts[0], "x") << "a plain update keeps the block";

    ASSERT_TRUE(std::holds_alternative<UpdateAccepted>(
        handle(datagram(MARL_MSG_UPDATE_POINT_EXT, updateBody(1, "ab", {}, secondBlock)))));
    EXPECT_FALSE(store.find("ab")->runtimeInfo->texts[0].has_value());
    EXPECT_TRUE(store.find("ab")->isSet);
}

// ---- Queries: the exact reply for every kind of name.

struct QueryCase {
    const char* what;
    Bytes before; // an update handled first, if any
    Bytes query;
    Bytes reply;
};

class HandlerQueries : public HandlerTest, public ::testing::WithParamInterface<QueryCase> {};

TEST_P(HandlerQueries, AnswersWithExactlyThisReply)
{
    if (!GetParam().before.empty()) {
        ASSERT_TRUE(std::holds_alternative<UpdateAccepted>(handle(GetParam().before)));
    }
    const std::size_t pointsBefore = store.size();
    const Outcome outcome = handle(GetParam().query);
    ASSERT_TRUE(std::holds_alternative<QueryAnswered>(outcome));
    const auto& answer = std::get<QueryAnswered>(outcome);
    EXPECT_EQ(answer.reply, GetParam().reply);
    EXPECT_EQ(answer.replyTo.address, kSender.address);
    EXPECT_EQ(answer.replyTo.port, kSender.port);
    EXPECT_EQ(store.size(), pointsBefore) << "a query creates no point";
    EXPECT_EQ(handler.counters().queries, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Names, HandlerQueries,
    ::testing::Values(
        QueryCase{"ab_after_raise", update(1, "ab"),
                  hexBytes("00008c01 0000002e" + kRestOfHeader + "00000002 6162"),
                  hexBytes("00008c02 00000033" + kRestOfHeader + "01 00000000 00000002 6162")},
        QueryCase{"ab_after_clear", update(0, "ab"), query("ab"), expectedReply(0, MARL_MSG_RC_OK, "ab")},
        QueryCase{"never_updated", {}, query("xy"), expectedReply(0, MARL_MSG_RC_OK, "xy")},
        QueryCase{"name_of_600", {}, query(std::string(600, 'n')),
                  expectedReply(0, MARL_MSG_RC_OK, std::string(600, 'n'))},
        QueryCase{"every_allowed_byte", {}, query(kAllowedBytes), expectedReply(0, MARL_MSG_RC_OK, kAllowedBytes)},
        QueryCase{"empty", {}, query(""), expectedReply(0, MARL_MSG_RC_INVALID_POINT_ID, "")},
        QueryCase{"with_nul", {}, query(std::string_view("a\0", 2)),
                  expectedReply(0, MARL_MSG_RC_INVALID_POINT_ID, std::string_view("a\0", 2))},
        QueryCase{"with_7f", {}, query("a\x7f"), expectedReply(0, MARL_MSG_RC_INVALID_POINT_ID, "a\x7f")},
        QueryCase{"name_of_601", {}, query(k601), expectedReply(0, MARL_MSG_RC_INVALID_POINT_ID, k601)}),
    [](const auto& param) { return std::string(param.param.what); });

// ---- The --points list.

TEST(HandlerPointsList, OnlyListedNamesAreUpdatedOrAnsweredAsValid)
{
    std::istringstream file("ab\r\n\nfan/1\n");
    std::string error;
    const auto names = PointNames::fromList(file, error);
    ASSERT_TRUE(names.has_value()) << error;
    PointStore store;
    DatagramHandler handler(store, *names);
    const auto handle = [&](const Bytes& bytes) { return handler.handle(bytes.data(), bytes.size(), kSender, kT0); };

    EXPECT_TRUE(std::holds_alternative<UpdateAccepted>(handle(update(1, "ab"))));
    const Outcome unlisted = handle(update(1, "cd"));
    ASSERT_TRUE(std::holds_alternative<Dropped>(unlisted));
    EXPECT_EQ(std::get<Dropped>(unlisted).reason, DropReason::invalidName);
    EXPECT_EQ(store.find("cd"), nullptr);

    const std::vector<std::pair<std::string, Bytes>> answers = {
        {"ab", expectedReply(1, MARL_MSG_RC_OK, "ab")},
        {"fan/1", expectedReply(0, MARL_MSG_RC_OK, "fan/1")},
        {"cd", expectedReply(0, MARL_MSG_RC_INVALID_POINT_ID, "cd")},
        {"ab\r", expectedReply(0, MARL_MSG_RC_INVALID_POINT_ID, "ab\r")},
    };
    for (const auto& [name, reply] : answers) {
        const Outcome outcome = handle(query(name));
        ASSERT_TRUE(std::holds_alternative<QueryAnswered>(outcome)) << name;
        EXPECT_EQ(std::get<QueryAnswered>(outcome).reply, reply) << name;
    }
}

TEST(HandlerPointsList, ALineThatIsNoNameIsRefusedWithItsNumber)
{
    std::istringstream file("ab\n\nx\ty\n");
    std::string error;
    EXPECT_FALSE(PointNames::fromList(file, error).has_value());
    EXPECT_EQ(error.rfind("line 3: ", 0), 0u) << error;
}

} // namespace
