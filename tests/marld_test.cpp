// marld without sockets: every check of the datagram handler against the
// bytes received, the exact reply to a query, the state that updates leave,
// the names it accepts, and the lines it prints.
#include <gtest/gtest.h>

#include <limits>
#include <sstream>

#include "datagramHandler.h"
#include "eventFormat.h"
#include "jsonText.h"
#include "lineRateLimiter.h"
#include "test_support.h"
#include "udpServer.h"

using namespace marltest;
using marld::DropReason;

namespace {

const marld::WallClock::time_point kT0{std::chrono::seconds(1'700'000'000)};
constexpr marld::Endpoint kSender{0x7F000001, 40000};

Bytes update(std::string_view name, bool set = false, const marl::DynamicInfoView* info = nullptr)
{
    return datagramBytes(marl::UpdateDatagram{name, set, info});
}
Bytes query(std::string_view name)
{
    return datagramBytes(marl::QueryDatagram{name});
}
Bytes reply(std::string_view name, bool set, std::uint32_t code = MARL_MSG_RC_OK)
{
    return datagramBytes(marl::ResponseDatagram{name, set, code});
}
// An extended update of ab whose block is `hex` (the header length follows).
Bytes extAb(const std::string& hex)
{
    const Bytes block = hexBytes(hex);
    const marl::DynamicInfoView none;
    Bytes bytes = resized(update("ab", false, &none), 48 + block.size()); // 48 bytes and a 14-byte block, at first
    std::copy(block.begin(), block.end(), bytes.begin() + 48);
    return bytes;
}

// The store holds one point, so that a second one finds it full.
class Handler : public ::testing::Test {
protected:
    marld::Outcome handle(const Bytes& bytes, marld::WallClock::time_point now = kT0 + std::chrono::seconds(5))
    {
        return handler.handle(bytes.data(), bytes.size(), kSender, now);
    }
    // What handling `bytes` printed, in text.
    std::string line(const Bytes& bytes)
    {
        return marld::outcomeLine(marld::OutputFormat::text, handle(bytes), bytes.size(), kSender);
    }

    marld::PointStore store{1};
    marld::PointNames names;
    marld::DatagramHandler handler{store, names};
};

struct DropRow {
    std::string what;
    Bytes bytes;
    DropReason reason;
};
class Drops : public Handler, public ::testing::WithParamInterface<DropRow> {};

// Each rule against a clear of ab that would change the state.
TEST_P(Drops, CountTheReasonAndLeaveTheStateAlone)
{
    const auto& [what, bytes, reason] = GetParam();
    ASSERT_EQ(line(update("ab", true)), "update \"ab\" clear -> set (update 1) from 127.0.0.1:40000\n");
    char id[16] = "";
    if (bytes.size() >= 40) {
        std::snprintf(id, sizeof id, " (id 0x%04x)", static_cast<unsigned>(bytes[1] << 16 | bytes[2] << 8 | bytes[3]));
    }
    EXPECT_EQ(line(bytes), "marld: dropped " + std::to_string(bytes.size()) + " bytes from 127.0.0.1:40000: " +
                               std::string(marld::dropReasonName(reason)) + id + "\n");
    const marld::Counters& counted = handler.counters();
    EXPECT_EQ(std::vector({counted.received, counted.updates, counted.queries, counted.droppedTotal(),
                           counted.dropped[static_cast<std::size_t>(reason)]}),
              std::vector<std::uint64_t>({2, 1, 0, 1, 1}));
    const marld::PointState* ab = store.find("ab");
    ASSERT_TRUE(ab != nullptr && store.size() == 1);
    EXPECT_EQ(std::make_tuple(ab->isSet, ab->updateCount, ab->lastChange, ab->runtimeInfo.has_value()),
              std::make_tuple(true, 1u, kT0 + std::chrono::seconds(5), false));
}

// Every byte that a name may hold: 0x20 to 0xFF but 0x7F.
const std::string kAllowedBytes = [] {
    std::string bytes;
    for (int byte = 0x20; byte <= 0xFF; ++byte) {
        bytes += byte == 0x7F ? "" : std::string(1, static_cast<char>(byte));
    }
    return bytes;
}();

INSTANTIATE_TEST_SUITE_P(
    Rules, Drops,
    ::testing::Values(
        DropRow{"empty", {}, DropReason::shortDatagram},
        DropRow{"header_less_one", Bytes(39, 0), DropReason::shortDatagram},
        DropRow{"update_header_only", resized(update("ab"), 40), DropReason::shortDatagram},
        DropRow{"query_record_less_one", resized(query(""), 43), DropReason::shortDatagram},
        DropRow{"response", reply("ab", false), DropReason::unknownId},
        DropRow{"id_8c03", patched(update("ab"), 0, "00008c03"), DropReason::unknownId},
        DropRow{"id_18c00", patched(update("ab"), 0, "00018c00"), DropReason::unknownId},
        DropRow{"update_length_one_less", patched(update("ab"), 4, "0000002f"), DropReason::lengthMismatch},
        DropRow{"update_length_one_more", patched(update("ab"), 4, "00000031"), DropReason::lengthMismatch},
        DropRow{"query_length_one_less", patched(query("ab"), 4, "0000002d"), DropReason::lengthMismatch},
        DropRow{"update_length_negative", patched(update("ab"), 4, "ffffffd0"), DropReason::lengthMismatch},
        DropRow{"update_name_past_end_by_one", patched(update("ab"), 42, "00000003"), DropReason::nameOverrun},
        DropRow{"update_name_length_ffffffff", patched(update("ab"), 42, "ffffffff"), DropReason::nameOverrun},
        DropRow{"ext_name_length_ffffffff", patched(extAb("0000 0000 0000 0000 0000 0000 0000"), 42, "ffffffff"), DropReason::nameOverrun},
        DropRow{"query_name_past_end_by_one", patched(query("ab"), 40, "00000003"), DropReason::nameOverrun},
        DropRow{"update_byte_after_name", patched(update("ab"), 42, "00000001"), DropReason::trailingBytes},
        DropRow{"query_byte_after_name", patched(query("ab"), 40, "00000001"), DropReason::trailingBytes},
        DropRow{"update_empty_name", update(""), DropReason::invalidName},
        DropRow{"update_name_with_nul", update(std::string_view("a\0b", 3)), DropReason::invalidName},
        DropRow{"update_name_with_1f", update("a\x1f"), DropReason::invalidName},
        DropRow{"update_name_with_7f", update("a\x7f"), DropReason::invalidName},
        DropRow{"update_name_of_601", update(std::string(601, 'n')), DropReason::invalidName},
        DropRow{"ext_of_647_bytes", extAb("0000" + std::string(2 * (647 - 50), '0')), DropReason::updateTooLong},
        DropRow{"ext_block_of_13", extAb(std::string(26, '0')), DropReason::invalidRuntimeInfo},
        DropRow{"ext_without_block", extAb(""), DropReason::invalidRuntimeInfo},
        DropRow{"ext_threshold_past_end", extAb("0016 0001 61 00 0001 62 00 3f800000 40000000 3f000000 0000"), DropReason::invalidRuntimeInfo},
        DropRow{"ext_text_without_nul", extAb("0000 0001 78 41 0000 0000 0000 0000 0000"), DropReason::invalidRuntimeInfo},
        DropRow{"ext_nonzero_after_block", extAb("0000 0000 0000 0000 0000 0000 0000 00 01"), DropReason::invalidRuntimeInfo},
        DropRow{"new_point_with_store_full", update("cd", true), DropReason::storeFull}),
    [](const auto& p) { return p.param.what; });

TEST_F(Handler, UpdatesKeepCountAndTimeOfChangeAndTheLastBlock)
{
    const std::string abc = "0000 00017800 0000 0000 0000 0000 0000"; // monitoredAttributes "x"
    const struct Step {
        Bytes bytes;
        int at; // seconds after kT0
        const char* line;
        int lastChange;
        const char* monitored; // of the kept block: "none" without one, "-" when absent
    } steps[] = {
        {hexBytes("00008c00 00000030" + std::string(64, '0') + "00 00 00000002 6162"), 0, "update \"ab\" clear -> clear (update 1)", 0, "none"},
        {hexBytes("00008c00 00000030" + std::string(64, '0') + "07 00 00000002 6162"), 5, "update \"ab\" clear -> set (update 2)", 5, "none"},
        {update("ab", true), 9, "update \"ab\" set -> set (update 3)", 5, "none"}, // a repeated state is no change
        {extAb(abc), 12, "update-ext \"ab\" set -> clear (update 4)", 12, "x"},
        {update("ab", false), 13, "update \"ab\" clear -> clear (update 5)", 12, "x"}, // a plain update keeps the block
        {extAb("0000 0000 0000 0000 0000 0000 0000"), 14, "update-ext \"ab\" clear -> clear (update 6)", 12, "-"},
    };
    for (const Step& step : steps) {
        const auto outcome = handle(step.bytes, kT0 + std::chrono::seconds(step.at));
        EXPECT_TRUE(marld::outcomeLine(marld::OutputFormat::text, outcome, 0, kSender).starts_with(std::string(step.line) + " from 127.0.0.1:40000"));
        const marld::PointState* ab = store.find("ab");
        ASSERT_NE(ab, nullptr);
        EXPECT_EQ(ab->lastChange, kT0 + std::chrono::seconds(step.lastChange)) << step.line;
        EXPECT_EQ(ab->runtimeInfo ? ab->runtimeInfo->texts[0].value_or("-") : "none", step.monitored);
    }
    EXPECT_EQ(handler.counters().updates, 6u);
    EXPECT_EQ(store.find("ab")->runtimeInfo->blockSize, 14u);
}

struct QueryRow {
    std::string what;
    Bytes before; // handled first, if any
    Bytes query;
    Bytes reply;
};
class Queries : public Handler, public ::testing::WithParamInterface<QueryRow> {};

TEST_P(Queries, AreAnsweredWithExactlyThisReply)
{
    if (!GetParam().before.empty()) {
        handle(GetParam().before);
    }
    const std::size_t points = store.size();
    const auto outcome = handle(GetParam().query);
    ASSERT_TRUE(std::holds_alternative<marld::QueryAnswered>(outcome));
    const auto& answer = std::get<marld::QueryAnswered>(outcome);
    EXPECT_EQ(answer.reply, GetParam().reply);
    EXPECT_EQ(std::make_pair(answer.replyTo.address, answer.replyTo.port), std::make_pair(kSender.address, kSender.port));
    EXPECT_EQ(store.size(), points) << "a query creates no point";
    EXPECT_EQ(handler.counters().queries, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Names, Queries,
    ::testing::Values(
        QueryRow{"ab_after_raise", update("ab", true), hexBytes("00008c01 0000002e" + std::string(64, '0') + "00000002 6162"),
                 hexBytes("00008c02 00000033" + std::string(64, '0') + "01 00000000 00000002 6162")},
        QueryRow{"ab_after_clear", update("ab", false), query("ab"), reply("ab", false)},
        QueryRow{"never_updated", {}, query("xy"), reply("xy", false)},
        QueryRow{"name_of_600", {}, query(std::string(600, 'n')), reply(std::string(600, 'n'), false)},
        QueryRow{"every_allowed_byte", {}, query(kAllowedBytes), reply(kAllowedBytes, false)},
        QueryRow{"empty", {}, query(""), reply("", false, MARL_MSG_RC_INVALID_POINT_ID)},
        QueryRow{"with_nul", {}, query(std::string_view("a\0", 2)), reply(std::string_view("a\0", 2), false, MARL_MSG_RC_INVALID_POINT_ID)},
        QueryRow{"with_7f", {}, query("a\x7f"), reply("a\x7f", false, MARL_MSG_RC_INVALID_POINT_ID)},
        QueryRow{"name_of_601", {}, query(std::string(601, 'n')), reply(std::string(601, 'n'), false, MARL_MSG_RC_INVALID_POINT_ID)}),
    [](const auto& p) { return p.param.what; });

TEST(PointsList, OnlyListedNamesAreUpdatedOrAnsweredAsValid)
{
    std::istringstream file("ab\r\n\nfan/1\n");
    std::string error;
    const auto names = marld::PointNames::fromList(file, error);
    ASSERT_TRUE(names.has_value()) << error;
    marld::PointStore store;
    marld::DatagramHandler handler(store, *names);
    const auto handle = [&](const Bytes& bytes) { return handler.handle(bytes.data(), bytes.size(), kSender, kT0); };
    EXPECT_TRUE(std::holds_alternative<marld::UpdateAccepted>(handle(update("ab", true))));
    const auto unlisted = handle(update("cd", true));
    EXPECT_TRUE(std::holds_alternative<marld::Dropped>(unlisted) && std::get<marld::Dropped>(unlisted).reason == DropReason::invalidName);
    for (const auto& [name, answer] : std::vector<std::pair<std::string, Bytes>>{
             {"ab", reply("ab", true)}, {"fan/1", reply("fan/1", false)},
             {"cd", reply("cd", false, MARL_MSG_RC_INVALID_POINT_ID)}, {"ab\r", reply("ab\r", false, MARL_MSG_RC_INVALID_POINT_ID)}}) {
        EXPECT_EQ(std::get<marld::QueryAnswered>(handle(query(name))).reply, answer) << name;
    }
    std::istringstream bad("ab\n\nx\ty\n");
    EXPECT_FALSE(marld::PointNames::fromList(bad, error).has_value());
    EXPECT_EQ(error, "line 3: not a valid point name (1 to 600 bytes, no control characters)");
}

struct EscapeRow {
    const char* what;
    std::string bytes;
    const char* json;
    const char* text;
};
class Escaping : public ::testing::TestWithParam<EscapeRow> {};

TEST_P(Escaping, KeepsEveryLineIntact)
{
    EXPECT_EQ(marld::jsonString(GetParam().bytes), GetParam().json);
    EXPECT_EQ(marld::quotedName(GetParam().bytes), GetParam().text);
    EXPECT_EQ(marld::isValidUtf8(GetParam().bytes), std::string(GetParam().json).find("\\ufffd") == std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, Escaping,
    ::testing::Values(EscapeRow{"plain", "fan-tray-2/overheat", R"("fan-tray-2/overheat")", R"("fan-tray-2/overheat")"},
                      EscapeRow{"quote_and_backslash", R"(a"b\c)", R"("a\"b\\c")", R"("a\"b\\c")"},
                      EscapeRow{"controls", std::string("\0\x01\n\x1f\x20\x7f", 6), R"("\u0000\u0001\u000a\u001f \u007f")", R"("\x00\x01\x0a\x1f \x7f")"},
                      EscapeRow{"utf8_two_three_four", "\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf",
                                "\"\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf\"",
                                "\"\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf\""},
                      EscapeRow{"lone_ff", "a\xff", R"("a\ufffd")", "\"a\xff\""},
                      EscapeRow{"overlong", "\xc1\xbf\xe0\x9f\xbf", R"("\ufffd\ufffd\ufffd\ufffd\ufffd")", "\"\xc1\xbf\xe0\x9f\xbf\""},
                      EscapeRow{"surrogate", "\xed\xa0\x80", R"("\ufffd\ufffd\ufffd")", "\"\xed\xa0\x80\""},
                      EscapeRow{"beyond_10ffff", "\xf4\x90\x80\x80\xf5", R"("\ufffd\ufffd\ufffd\ufffd\ufffd")", "\"\xf4\x90\x80\x80\xf5\""},
                      EscapeRow{"bad_continuation", "\xe2\x82\x41\xf0\x90\xc0\x80", R"("\ufffd\ufffdA\ufffd\ufffd\ufffd\ufffd")",
                                "\"\xe2\x82\x41\xf0\x90\xc0\x80\""},
                      EscapeRow{"cut_sequence", "\xe2\x82", R"("\ufffd\ufffd")", "\"\xe2\x82\""}),
    [](const auto& p) { return std::string(p.param.what); });

TEST(Lines, ShowLongNamesCutNamesAsBytesAndTheDecodedRuntimeInformation)
{
    marld::QueryAnswered query{std::string(600, 'n') + "xyz", false, MARL_MSG_RC_INVALID_POINT_ID, {}, {0x7F000001, 5000}};
    const std::string shown(600, 'n');
    EXPECT_EQ(marld::queryLine(marld::OutputFormat::text, query),
              "query \"" + shown + "\"... (603 bytes) -> clear (MARL_MSG_RC_INVALID_POINT_ID) to 127.0.0.1:5000\n");
    EXPECT_EQ(marld::queryLine(marld::OutputFormat::json, query),
              "{\"event\":\"query\",\"point\":\"" + shown + "\",\"nameLength\":603,\"state\":\"clear\","
              "\"returnCode\":\"MARL_MSG_RC_INVALID_POINT_ID\",\"sender\":\"127.0.0.1:5000\"}\n");
    query.point = "a\xff";
    EXPECT_EQ(marld::queryLine(marld::OutputFormat::json, query),
              "{\"event\":\"query\",\"point\":\"a\\ufffd\",\"pointHex\":\"61ff\",\"nameLength\":2,\"state\":\"clear\","
              "\"returnCode\":\"MARL_MSG_RC_INVALID_POINT_ID\",\"sender\":\"127.0.0.1:5000\"}\n");

    marld::RuntimeInfo info;
    info.blockSize = 30;
    info.threshold = marld::Threshold{std::nullopt, "hi", -1.5F, std::numeric_limits<float>::infinity(), 0.25F, -1};
    info.texts[5] = "t2";
    const marld::UpdateAccepted update{"ab", true, {false, true, 1}, info};
    const marld::Endpoint sender{0xC0A80A01, 5000};
    EXPECT_EQ(marld::updateLine(marld::OutputFormat::text, update, sender),
              "update-ext \"ab\" clear -> set (update 1) from 192.168.10.1:5000 indication=\"hi\" low=-1.5 high=inf "
              "observedValue=0.25 armTime=1969-12-31T23:59:59Z additionalText2=\"t2\"\n");
    EXPECT_EQ(marld::updateLine(marld::OutputFormat::json, update, sender),
              "{\"event\":\"update\",\"point\":\"ab\",\"extended\":true,\"old\":\"clear\",\"new\":\"set\",\"updates\":1,"
              "\"runtimeInfo\":{\"blockBytes\":30,\"indication\":\"hi\",\"low\":-1.5,\"high\":null,\"observedValue\":0.25,"
              "\"armTime\":-1,\"armTimeUtc\":\"1969-12-31T23:59:59Z\",\"additionalText2\":\"t2\"},\"sender\":\"192.168.10.1:5000\"}\n");
    EXPECT_EQ(marld::dropLine(marld::OutputFormat::json, {DropReason::storeFull, 0x8C00}, 48, sender),
              "{\"event\":\"dropped\",\"reason\":\"store-full\",\"id\":35840,\"bytes\":48,\"sender\":\"192.168.10.1:5000\"}\n");
    EXPECT_EQ(marld::replyFailedLine(marld::OutputFormat::text, sender, "Permission denied"),
              "marld: reply to 192.168.10.1:5000 failed: Permission denied\n");
    EXPECT_EQ(marld::suppressedLine(marld::OutputFormat::json, 7), "{\"event\":\"suppressed\",\"lines\":7}\n");
}

TEST(LineRateLimiter, LetsAFewLinesThroughPerWindowAndReportsTheRestOnce)
{
    using namespace std::chrono;
    marld::LineRateLimiter limiter(3, seconds(1));
    const marld::LineRateLimiter::Clock::time_point start{seconds(100)};
    std::string admitted;
    for (int i = 0; i < 10; ++i) {
        admitted += limiter.admit(start + milliseconds(10 * i)) ? "+" : "-";
    }
    // Still open, then over, then reported already.
    EXPECT_EQ(std::vector({limiter.takeSuppressed(start + milliseconds(999)), limiter.takeSuppressed(start + seconds(1)),
                           limiter.takeSuppressed(start + seconds(2))}),
              std::vector<std::uint64_t>({0, 7, 0}));
    for (int i = 0; i < 4; ++i) {
        admitted += limiter.admit(start + seconds(3)) ? "+" : "-";
    }
    EXPECT_EQ(admitted, "+++-------+++-") << "three per window";
    EXPECT_EQ(limiter.takeSuppressed(start + seconds(3), true), 1u) << "forced at exit";
}

} // namespace
