// marld without sockets: every check of the datagram handler against the
// bytes received, the exact reply to a query, the state that updates leave,
// the names it accepts, and the lines it prints.
#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <numeric>
#include <sstream>

#include "datagramHandler.h"
#include "eventFormat.h"
#include "jsonText.h"
#include "lineRateLimiter.h"
#include "test_support.h"

using namespace marltest;
using R = marld::DropReason;
using std::chrono::seconds;

namespace {

constexpr auto kText = marld::OutputFormat::text;
constexpr auto kJson = marld::OutputFormat::json;
constexpr auto kInvalid = MARL_MSG_RC_INVALID_POINT_ID;
const marld::WallClock::time_point kT0{seconds(1'700'000'000)};
constexpr marld::Endpoint kSender{0x0A000001, 7};
const std::string kZero32 = std::string(64, '0'); // the header's bytes after its id and length
const Bytes kClearAb = hexBytes("00008c00 00000030" + kZero32 + "00 00 00000002 6162");
const std::string kNoTexts = "0000 0000 0000 0000 0000 0000 0000"; // a block of absent texts only

const auto update = [](std::string_view name, bool set = false) {
    return datagramBytes(marl::UpdateDatagram{name, set});
};
const auto query = [](std::string_view name) { return datagramBytes(marl::QueryDatagram{name}); };
const auto reply = [](std::string_view name, bool set, std::uint32_t code = MARL_MSG_RC_OK) {
    return datagramBytes(marl::ResponseDatagram{name, set, code});
};
// An extended update that clears ab, `block` after the name, the header length to match.
Bytes extAb(const std::string& block)
{
    const Bytes bytes = hexBytes("00008c04 00000000" + kZero32 + "00 00 00000002 6162" + block);
    return resized(bytes, bytes.size());
}

// Every byte that a name may hold: 0x20 to 0xFF but 0x7F.
const std::string kAllowedBytes = [] {
    std::string bytes(0x100 - 0x20, ' ');
    std::iota(bytes.begin(), bytes.end(), ' ');
    return bytes.erase(0x7F - 0x20, 1);
}();

// The store holds one point, so that a second one finds it full.
class Handler : public ::testing::Test {
protected:
    std::pair<marld::Outcome, std::string> handle(const Bytes& bytes, int at = 5)
    {
        auto outcome = handler.handle(bytes.data(), bytes.size(), kSender, kT0 + seconds(at));
        return {outcome, marld::outcomeLine(kText, outcome, bytes.size(), kSender)};
    }

    marld::PointStore store{1};
    marld::PointNames names;
    marld::DatagramHandler handler{store, names};
};

// Row name, datagram, why it is dropped (nothing when it is a query answered) and the reply.
using DatagramRow = std::tuple<std::string, Bytes, std::optional<R>, Bytes>;
class Datagrams : public Handler, public ::testing::WithParamInterface<DatagramRow> {};

// Each after a raise of ab, which none may change.
TEST_P(Datagrams, AreDroppedForTheirReasonOrAnsweredExactly)
{
    const auto& [what, bytes, reason, expectedReply] = GetParam();
    (void)handle(update("ab", true));
    const auto [outcome, line] = handle(bytes, 9);
    const auto* answer = std::get_if<marld::QueryAnswered>(&outcome);
    char id[16] = "";
    if (bytes.size() >= 40) {
        std::snprintf(id, sizeof id, " (id 0x%04x)", unsigned(bytes[1] << 16 | bytes[2] << 8 | bytes[3]));
    }
    if (reason) {
        EXPECT_EQ(line, "marld: dropped " + std::to_string(bytes.size()) + " bytes from 10.0.0.1:7: " +
                            std::string(marld::dropReasonName(*reason)) + id + "\n");
    } else {
        EXPECT_TRUE(line.ends_with(" to 10.0.0.1:7\n")) << line; // the reply goes to the sender
    }
    EXPECT_EQ(answer ? answer->reply : Bytes{}, expectedReply);
    const marld::Counters& counted = handler.counters();
    const std::uint64_t drops = reason ? 1 : 0;
    EXPECT_EQ(std::vector({counted.received, counted.updates, counted.queries, counted.droppedTotal(),
                           counted.dropped[std::size_t(reason.value_or(R::outOfMemory))]}),
              std::vector<std::uint64_t>({2, 1, 1 - drops, drops, drops}));
    const marld::PointState* ab = store.find("ab");
    ASSERT_TRUE(ab != nullptr && store.size() == 1);
    EXPECT_EQ(std::make_tuple(ab->isSet, ab->updateCount, ab->lastChange, ab->runtimeInfo.has_value()),
              std::make_tuple(true, 1u, kT0 + seconds(5), false));
}

INSTANTIATE_TEST_SUITE_P(
    Rules, Datagrams,
    ::testing::ValuesIn(std::vector<DatagramRow>{
        {"empty", {}, R::shortDatagram, {}},
        {"header_less_one", Bytes(39, 0), R::shortDatagram, {}},
        {"update_header_only", resized(kClearAb, 40), R::shortDatagram, {}},
        {"query_record_less_one", resized(query(""), 43), R::shortDatagram, {}},
        {"response", reply("ab", false), R::unknownId, {}},
        {"id_8c03", patched(kClearAb, 0, "00008c03"), R::unknownId, {}},
        {"id_18c00", patched(kClearAb, 0, "00018c00"), R::unknownId, {}},
        {"update_length_one_less", patched(kClearAb, 4, "0000002f"), R::lengthMismatch, {}},
        {"update_length_one_more", patched(kClearAb, 4, "00000031"), R::lengthMismatch, {}},
        {"update_length_negative", patched(kClearAb, 4, "ffffffd0"), R::lengthMismatch, {}},
        {"query_length_one_less", patched(query("ab"), 4, "0000002d"), R::lengthMismatch, {}},
        {"update_name_past_end_by_one", patched(kClearAb, 42, "00000003"), R::nameOverrun, {}},
        {"update_name_length_ffffffff", patched(kClearAb, 42, "ffffffff"), R::nameOverrun, {}},
        {"ext_name_length_ffffffff", patched(extAb(kNoTexts), 42, "ffffffff"), R::nameOverrun, {}},
        {"query_name_past_end_by_one", patched(query("ab"), 40, "00000003"), R::nameOverrun, {}},
        {"update_byte_after_name", patched(kClearAb, 42, "00000001"), R::trailingBytes, {}},
        {"query_byte_after_name", patched(query("ab"), 40, "00000001"), R::trailingBytes, {}},
        {"update_empty_name", update(""), R::invalidName, {}},
        {"update_name_with_nul", update(std::string_view("a\0b", 3)), R::invalidName, {}},
        {"update_name_with_1f", update("a\x1f"), R::invalidName, {}},
        {"update_name_with_7f", update("a\x7f"), R::invalidName, {}},
        {"update_name_of_601", update(std::string(601, 'n')), R::invalidName, {}},
        {"ext_of_647_bytes", extAb("0000" + std::string(2 * (647 - 50), '0')), R::updateTooLong, {}},
        {"ext_block_of_13", extAb(std::string(26, '0')), R::invalidRuntimeInfo, {}},
        {"ext_without_block", extAb(""), R::invalidRuntimeInfo, {}},
        {"ext_threshold_past_end", extAb("0016 0001 61 00 0001 62 00 3f800000 40000000 3f000000 0000"),
         R::invalidRuntimeInfo, {}},
        {"ext_text_without_nul", extAb("0000 0001 78 41 0000 0000 0000 0000 0000"), R::invalidRuntimeInfo,
         {}},
        {"ext_nonzero_after_block", extAb(kNoTexts + "00 01"), R::invalidRuntimeInfo, {}},
        {"new_point_with_store_full", update("cd", true), R::storeFull, {}},
        {"query_set", hexBytes("00008c01 0000002e" + kZero32 + "00000002 6162"), {},
         hexBytes("00008c02 00000033" + kZero32 + "01 00000000 00000002 6162")},
        {"query_never_updated", query("xy"), {}, reply("xy", false)},
        {"query_name_of_600", query(std::string(600, 'n')), {}, reply(std::string(600, 'n'), false)},
        {"query_every_allowed_byte", query(kAllowedBytes), {}, reply(kAllowedBytes, false)},
        {"query_with_nul", query(std::string_view("a\0", 2)), {},
         reply(std::string_view("a\0", 2), false, kInvalid)},
        {"query_with_7f", query("a\x7f"), {}, reply("a\x7f", false, kInvalid)}}),
    [](const auto& p) { return std::get<0>(p.param); });

TEST_F(Handler, UpdatesKeepCountAndTimeOfChangeAndTheLastBlock)
{
    // The datagram, when it arrives, its line, when ab last changed, and the
    // first text of the block kept ("none" without one, "-" when absent).
    const std::vector<std::tuple<Bytes, int, std::string, int, std::string>> steps = {
        {kClearAb, 0, "update \"ab\" clear -> clear (update 1) from 10.0.0.1:7", 0, "none"},
        {patched(kClearAb, 40, "07"), 5, "update \"ab\" clear -> set (update 2) from 10.0.0.1:7", 5, "none"},
        {update("ab", true), 9, "update \"ab\" set -> set (update 3) from 10.0.0.1:7", 5, "none"}, // same
        {extAb("0000 00017800 0000 0000 0000 0000 0000"), 12,
         "update-ext \"ab\" set -> clear (update 4) from 10.0.0.1:7 monitoredAttributes=\"x\"", 12, "x"},
        {update("ab"), 13, "update \"ab\" clear -> clear (update 5) from 10.0.0.1:7", 12, "x"}, // block kept
        {query("ab"), 14, "query \"ab\" -> clear (MARL_MSG_RC_OK) to 10.0.0.1:7", 12, "x"},
        {extAb(std::string(2 * (646 - 48), '0')), 15,
         "update-ext \"ab\" clear -> clear (update 6) from 10.0.0.1:7", 12, "-"},
    };
    for (const auto& [bytes, at, line, lastChange, monitored] : steps) {
        EXPECT_EQ(handle(bytes, at).second, line + "\n");
        const marld::PointState* ab = store.find("ab");
        ASSERT_NE(ab, nullptr);
        const std::string kept = ab->runtimeInfo ? ab->runtimeInfo->texts[0].value_or("-") : "none";
        EXPECT_EQ(ab->lastChange, kT0 + seconds(lastChange)) << line;
        EXPECT_EQ(kept, monitored) << line;
    }
    EXPECT_EQ(store.find("ab")->runtimeInfo->blockSize, 598u) << "646 bytes in all, with zero padding";
}

TEST(Points, OnlyListedOnesWhenListedAndAtMost65536ByDefault)
{
    std::istringstream file("ab\r\n\nfan/1\n");
    std::istringstream bad("ab\n\nx\ty\n");
    std::string error;
    const auto names = marld::PointNames::fromList(file, error);
    ASSERT_TRUE(names.has_value()) << error;
    EXPECT_FALSE(marld::PointNames::fromList(bad, error).has_value());
    EXPECT_EQ(error, "line 3: not a valid point name (1 to 600 bytes, no control characters)");
    const std::map<std::string, bool> listed = {
        {"ab", true}, {"fan/1", true}, {"cd", false}, {"ab\r", false}, {"", false}};
    for (const auto& [name, isListed] : listed) {
        EXPECT_EQ(names->accepts(name), isListed) << name;
    }
    marld::PointStore store;
    for (int i = 0; i < 65536; ++i) {
        ASSERT_TRUE(store.update(std::to_string(i), true, kT0, std::nullopt).has_value()) << i;
    }
    EXPECT_FALSE(store.update("one-too-many", true, kT0, std::nullopt).has_value());
}

// Row name, bytes, the JSON string and the quoted text; empty: the bytes as they are, in quotes.
using EscapeRow = std::tuple<std::string, std::string, std::string, std::string>;
class Escaping : public ::testing::TestWithParam<EscapeRow> {};

TEST_P(Escaping, KeepsEveryLineIntact)
{
    const auto& [what, bytes, json, text] = GetParam();
    const std::string kept = "\"" + bytes + "\"";
    EXPECT_EQ(marld::jsonString(bytes), json.empty() ? kept : json);
    EXPECT_EQ(marld::quotedName(bytes), text.empty() ? kept : text);
    EXPECT_EQ(marld::isValidUtf8(bytes), json.find("\\ufffd") == std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, Escaping,
    ::testing::ValuesIn(std::vector<EscapeRow>{
        {"plain", "fan-tray-2/overheat", "", ""},
        {"quote_and_backslash", R"(a"b\c)", R"("a\"b\\c")", R"("a\"b\\c")"},
        {"controls", std::string("\0\x01\n\x1f\x20\x7f", 6), R"("\u0000\u0001\u000a\u001f \u007f")",
         R"("\x00\x01\x0a\x1f \x7f")"},
        {"utf8_two_three_four", "\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xef\xbf\xbf"
                                "\xf0\x90\x80\x80\xf4\x8f\xbf\xbf", "", ""},
        {"lone_80", "a\x80", R"("a\ufffd")", ""},
        {"no_sequence_starts", "\x80\xbf\xbf\xbf\xc0\xc1\xf5\x80\x80\x80\xff",
         R"("\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd")", ""},
        {"overlong", "\xc1\xbf\xe0\x9f\xbf", R"("\ufffd\ufffd\ufffd\ufffd\ufffd")", ""},
        {"surrogate", "\xed\xa0\x80", R"("\ufffd\ufffd\ufffd")", ""},
        {"beyond_10ffff", "\xf4\x90\x80\x80\xf5", R"("\ufffd\ufffd\ufffd\ufffd\ufffd")", ""},
        {"bad_follower", "\xe2\x82\x41\xf0\x90\xc0\x80", R"("\ufffd\ufffdA\ufffd\ufffd\ufffd\ufffd")", ""},
        {"cut_sequence", "\xe2\x82", R"("\ufffd\ufffd")", ""}}),
    [](const auto& p) { return std::get<0>(p.param); });

TEST(Lines, ShowLongNamesCutNamesAsBytesAndTheDecodedRuntimeInformation)
{
    const marld::Endpoint sender{0xC0A80A01, 5000};
    const std::string n600(600, 'n');
    const std::string from = R"("sender":"192.168.10.1:5000"})" "\n";
    const std::string rest = R"("state":"clear","returnCode":"MARL_MSG_RC_INVALID_POINT_ID",)" + from;
    marld::QueryAnswered answered{n600 + "xyz", false, kInvalid, {}, sender};
    EXPECT_EQ(marld::queryLine(kText, answered),
              "query \"" + n600 + "\"... (603 bytes) -> clear (MARL_MSG_RC_INVALID_POINT_ID) to "
              "192.168.10.1:5000\n");
    EXPECT_EQ(marld::queryLine(kJson, answered),
              R"({"event":"query","point":")" + n600 + R"(","nameLength":603,)" + rest);
    answered.point = n600;
    EXPECT_EQ(marld::queryLine(kText, answered),
              "query \"" + n600 + "\" -> clear (MARL_MSG_RC_INVALID_POINT_ID) to 192.168.10.1:5000\n");
    answered.point = "a\xff";
    EXPECT_EQ(marld::queryLine(kJson, answered),
              R"({"event":"query","point":"a\ufffd","pointHex":"61ff","nameLength":2,)" + rest);
    marld::RuntimeInfo info;
    info.blockSize = 30;
    info.threshold = marld::Threshold{{}, "hi", -1.5F, std::numeric_limits<float>::infinity(), 0.25F, -1};
    info.texts[5] = "t2";
    const marld::UpdateAccepted accepted{"ab", true, {false, true, 1}, info};
    EXPECT_EQ(marld::updateLine(kText, accepted, sender),
              "update-ext \"ab\" clear -> set (update 1) from 192.168.10.1:5000 indication=\"hi\" low=-1.5 "
              "high=inf observedValue=0.25 armTime=1969-12-31T23:59:59Z additionalText2=\"t2\"\n");
    EXPECT_EQ(marld::updateLine(kJson, accepted, sender),
              R"({"event":"update","point":"ab","extended":true,"old":"clear","new":"set","updates":1,)"
              R"("runtimeInfo":{"blockBytes":30,"indication":"hi","low":-1.5,"high":null,)"
              R"("observedValue":0.25,"armTime":-1,"armTimeUtc":"1969-12-31T23:59:59Z",)"
              R"("additionalText2":"t2"},)" + from);
    EXPECT_EQ(marld::dropLine(kJson, {R::storeFull, 0x8C00}, 48, sender),
              R"({"event":"dropped","reason":"store-full","id":35840,"bytes":48,)" + from);
    EXPECT_EQ(marld::updateLine(kJson, {"ab", false, {true, true, 2}, {}}, sender),
              R"({"event":"update","point":"ab","extended":false,"old":"set","new":"set","updates":2,)" +
                  from);
    EXPECT_EQ(marld::replyFailedLine(kText, sender, "Permission denied"),
              "marld: reply to 192.168.10.1:5000 failed: Permission denied\n");
    EXPECT_EQ(marld::suppressedLine(kJson, 7), "{\"event\":\"suppressed\",\"lines\":7}\n");
}

TEST(LineRateLimiter, LetsThreeLinesThroughPerWindowAndReportsTheRestOnceItIsOver)
{
    using std::chrono::milliseconds;
    marld::LineRateLimiter limiter(3, seconds(1));
    // Half a window after the clock's zero: the first window starts at the first line, not at zero.
    const marld::LineRateLimiter::Clock::time_point start{milliseconds(500)};
    const auto take = [&](auto at) { return limiter.takeSuppressed(start + at); };
    std::string admitted;
    for (int i = 0; i < 10; ++i) {
        admitted += limiter.admit(start + milliseconds(10 * i)) ? "+" : "-";
    }
    // Still open, then over, then reported already.
    EXPECT_EQ(std::vector({take(milliseconds(999)), take(seconds(1)), take(seconds(2))}),
              std::vector<std::uint64_t>({0, 7, 0}));
    // One tick before the first window is over, then the first of the next.
    for (const int ticksEarly : {1, 0, 0, 0}) {
        admitted += limiter.admit(start + seconds(1) - ticksEarly * std::chrono::nanoseconds(1)) ? "+" : "-";
    }
    EXPECT_EQ(admitted, "+++-------" "-+++");
    EXPECT_EQ(take(milliseconds(1500)), 0u) << "the window is not over";
    EXPECT_EQ(limiter.takeSuppressed(start + milliseconds(1500), true), 1u) << "forced at exit";
}

} // namespace
