// marld without sockets: every check of the datagram handler against the
// bytes received, the exact reply to a query, the state that updates leave,
// the names it accepts, and the lines it prints.
#include <gtest/gtest.h>

#include <limits>
#include <numeric>
#include <sstream>

#include <unistd.h>

#include "datagramHandler.h"
#include "eventFormat.h"
#include "eventLoop.h"
#include "httpRoutes.h"
#include "jsonText.h"
#include "lineRateLimiter.h"
#include "lossWatch.h"
#ifdef MARLD_STATE_FILE
#include <sqlite3.h>

#include "stateFile.h"
#endif
#include "test_support.h"

using namespace marltest;
using namespace std::chrono_literals;

constexpr auto kText = marld::OutputFormat::text;
constexpr auto kJson = marld::OutputFormat::json;
const marld::WallClock::time_point kT0{1'700'000'000s};
const marld::Endpoint kSender{0x0A000001, 7};
// A clear of ab, the header's 32 bytes after its id and length all zero.
const Bytes kClearAb = hexBytes("00008c00 00000030" + std::string(64, '0') + "00 00 00000002 6162");

const auto update = [](std::string_view name, bool set = false) {
    return datagramBytes(marl::UpdateDatagram{name, set});
};
const auto query = [](std::string_view name) { return datagramBytes(marl::QueryDatagram{name}); };
const auto reply = [](std::string_view name, bool set, std::uint32_t code = MARL_MSG_RC_OK) {
    return datagramBytes(marl::ResponseDatagram{name, set, code});
};
// An extended update that clears ab, `block` after the name, the header length to match.
static Bytes extAb(const std::string& block)
{
    const Bytes bytes = hexBytes("00008c04 00000000" + std::string(64, '0') + "00 00 00000002 6162" + block);
    return resized(bytes, bytes.size());
}

// The longest name, with the bytes at each end of the two ranges that names may hold.
const std::string kLongest = " ~\x80\xff" + std::string(596, 'n');

// The store holds one point, so that a second one finds it full.
struct Handler : ::testing::Test {
    std::pair<marld::Outcome, std::string> handle(const Bytes& bytes, int at = 5)
    {
        auto outcome = handler.handle(bytes.data(), bytes.size(), kSender, kT0 + at * 1s);
        return {outcome, marld::outcomeLine(kText, outcome, bytes.size(), kSender)};
    }

    marld::PointStore store{1};
    marld::PointNames names;
    marld::Counters counted;
    marld::DatagramHandler handler{store, names, counted};
};

// Row name, datagram, the reason it is dropped for as the output names it ("": a query answered) and
// the reply.
using DatagramRow = std::tuple<std::string, Bytes, std::string, Bytes>;
class Datagrams : public Handler, public ::testing::WithParamInterface<DatagramRow> {};

// Each after a raise of ab, which none may change.
TEST_P(Datagrams, AreDroppedForTheirReasonOrAnsweredExactly)
{
    const auto& [what, bytes, reason, expectedReply] = GetParam();
    (void)handle(update("ab", true));
    const auto [outcome, line] = handle(bytes, 9);
    const auto* answer = std::get_if<marld::QueryAnswered>(&outcome);
    const auto* dropped = std::get_if<marld::Dropped>(&outcome);
    // Every identifier here is 0x8c0N.
    const std::string id = bytes.size() < 40 ? "" : " (id 0x8c0" + std::to_string(bytes[3]) + ")";
    const std::string from = "marld: dropped " + std::to_string(bytes.size()) + " bytes from 10.0.0.1:7: ";
    EXPECT_EQ(line, reason.empty() ? line : from + reason + id + "\n");
    EXPECT_EQ(line.ends_with(" to 10.0.0.1:7\n"), reason.empty()) << line; // a reply goes to the sender
    EXPECT_EQ(answer ? Bytes(answer->reply.begin(), answer->reply.end()) : Bytes{}, expectedReply);
    using C = marld::Count;
    EXPECT_EQ(std::vector({counted[C::received], counted[C::updates], counted[C::queries], counted[C::dropped],
                           dropped ? counted[dropped->reason] : 0}),
              std::vector<std::uint64_t>({2, 1, reason.empty(), !reason.empty(), !reason.empty()}));
    const marld::PointState& ab = *store.find("ab");
    EXPECT_EQ(std::tuple(store.size(), ab.isSet, ab.updateCount, ab.lastChange, ab.runtimeInfo != nullptr),
              std::tuple(1u, true, 1u, kT0 + 5s, false));
}

INSTANTIATE_TEST_SUITE_P(
    Rules, Datagrams,
    ::testing::ValuesIn(std::vector<DatagramRow>{
        {"header_less_one", Bytes(39, 0), "short-datagram", {}},
        {"update_header_only", resized(kClearAb, 40), "short-datagram", {}},
        {"query_record_less_one", resized(query(""), 43), "short-datagram", {}},
        {"id_8c03", patched(kClearAb, 0, "00008c03"), "unknown-id", {}},
        {"update_length_one_more", patched(kClearAb, 4, "00000031"), "length-mismatch", {}},
        {"update_name_past_end_by_one", patched(kClearAb, 42, "00000003"), "name-overrun", {}},
        {"query_name_past_end_by_one", patched(query("ab"), 40, "00000003"), "name-overrun", {}},
        {"update_byte_after_name", patched(kClearAb, 42, "00000001"), "trailing-bytes", {}},
        {"query_byte_after_name", patched(query("ab"), 40, "00000001"), "trailing-bytes", {}},
        {"update_empty_name", update(""), "invalid-name", {}},
        {"update_name_with_1f", update("a\x1f"), "invalid-name", {}},
        {"update_name_of_601", update(std::string(601, 'n')), "invalid-name", {}},
        {"ext_of_647_bytes", extAb("0000" + std::string(2 * (647 - 50), '0')), "update-too-long", {}},
        {"ext_block_of_13", extAb(std::string(26, '0')), "invalid-runtime-info", {}},
        {"ext_nonzero_after_block", extAb(std::string(28, '0') + "0001"), "invalid-runtime-info", {}},
        {"new_point_with_store_full", update("cd", true), "store-full", {}},
        {"query_longest", query(kLongest), "", reply(kLongest, false)},
        {"query_with_7f", query("a\x7f"), "", reply("a\x7f", false, MARL_MSG_RC_INVALID_POINT_ID)}}),
    [](const auto& p) { return std::get<0>(p.param); });

TEST_F(Handler, UpdatesKeepCountAndTimeOfChangeAndTheLastBlock)
{
    // The datagram, when it arrives, its line, when ab last changed, the size of the block kept (0
    // without one) and whether it came with this update; the last, 646 bytes in all, the longest an
    // update may be, is all zero padding.
    const std::vector<std::tuple<Bytes, int, std::string, int, std::size_t, bool>> steps = {
        {patched(kClearAb, 40, "07"), 5, "update \"ab\" clear -> set (update 1) from 10.0.0.1:7", 5, 0, false},
        {update("ab", true), 9, "update \"ab\" set -> set (update 2) from 10.0.0.1:7", 5, 0, false}, // same
        {extAb("0000 00017800 0000 0000 0000 0000 0000"), 12,
         "update-ext \"ab\" set -> clear (update 3) from 10.0.0.1:7 monitoredAttributes=\"x\"", 12, 16, true},
        {update("ab"), 13, "update \"ab\" clear -> clear (update 4) from 10.0.0.1:7", 12, 16, false}, // block kept
        {extAb(std::string(2 * (646 - 48), '0')), 15,
         "update-ext \"ab\" clear -> clear (update 5) from 10.0.0.1:7", 12, 598, true},
    };
    for (const auto& [bytes, at, line, lastChange, blockSize, fromThis] : steps) {
        EXPECT_EQ(handle(bytes, at).second, line + "\n");
        const marld::PointState& ab = *store.find("ab");
        EXPECT_EQ(std::tuple(ab.lastChange, ab.runtimeInfo ? ab.runtimeInfo->block.size() : 0, ab.runtimeInfoFromLastUpdate),
                  std::tuple(kT0 + lastChange * 1s, blockSize, fromThis));
        EXPECT_EQ(marld::pointJson("ab", ab).ends_with(blockSize == 0 ? "\"runtimeInfo\":null}"
                                                       : fromThis ? "},\"runtimeInfoFromLastUpdate\":true}"
                                                                  : "},\"runtimeInfoFromLastUpdate\":false}"),
                  true) << marld::pointJson("ab", ab);
    }
}

// Every byte value, each in the middle of a name: control bytes are refused, all others kept.
TEST(Points, AControlByteIsRefused)
{
    std::string wrong;
    for (int byte = 0; byte < 256; ++byte) {
        const std::string name = "a" + std::string(1, static_cast<char>(byte)) + "b";
        wrong += marld::isWellFormedPointName(name) != (byte >= 0x20 && byte != 0x7F) ? std::to_string(byte) + " " : "";
    }
    EXPECT_EQ(wrong, "");
}

TEST(Points, OnlyListedOnesWhenListedAndAtMost65536ByDefault)
{
    std::istringstream file("ab\r\nc\n");
    std::istringstream bad("ab\n\nx\ty\n"); // an empty line skipped, and counted
    std::string error;
    const marld::PointNames only = marld::PointNames::fromList(file, error).value();
    EXPECT_EQ(std::pair(only.accepts("ab") && only.accepts("c"), only.accepts("cd")), std::pair(true, false));
    EXPECT_FALSE(marld::PointNames::fromList(bad, error).has_value());
    EXPECT_EQ(error, "line 3: not a valid point name (1 to 600 bytes, no control characters)");
    marld::PointStore store;
    ASSERT_TRUE(store.reserve()); // room for all at once: a point's slot never moves
    ASSERT_TRUE(store.update("0", true, kT0, nullptr));
    const marld::PointState* first = store.find("0");
    for (int i = 1; i < 65536; ++i) {
        ASSERT_TRUE(store.update(std::to_string(i), true, kT0, nullptr).has_value()) << i;
    }
    EXPECT_EQ(std::pair(store.update("one-too-many", true, kT0, nullptr).has_value(), store.find("0")),
              std::pair(false, first));
}

// Each well-formed sequence at the lowest and highest bytes of its ranges, beside the bytes just
// outside them. The bytes, their JSON string and quoted text; empty: the bytes as they are, in quotes.
TEST(Escaping, KeepsEveryLineIntact)
{
    const std::vector<std::array<std::string, 3>> rows = {
        {R"(a"b\c)", R"("a\"b\\c")", R"("a\"b\\c")"},
        {std::string("\0\x1f\x20\x7f", 4), R"("\u0000\u001f \u007f")", R"("\x00\x1f \x7f")"},
        {"\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf", "", ""},
        {"\x80\xbf\xc0\xc1\xf5\xff", R"("\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd")",
         R"("\x80\xbf\xc0\xc1\xf5\xff")"},
        {"\xe0\x9f\xed\xa0\xf0\x8f\xf4\x90", R"("\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd")",
         R"("\xe0\x9f\xed\xa0\xf0\x8f\xf4\x90")"},
        {"\xe2\x82\x41\xf0\x90\xc0\x80\xe2\x82", // followers out of range, then a cut sequence
         R"("\ufffd\ufffdA\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd")", R"("\xe2\x82A\xf0\x90\xc0\x80\xe2\x82")"}};
    for (const auto& [bytes, json, text] : rows) {
        const std::string kept = "\"" + bytes + "\"";
        EXPECT_EQ(marld::jsonString(bytes), json.empty() ? kept : json);
        EXPECT_EQ(marld::quotedName(bytes), text.empty() ? kept : text);
        EXPECT_EQ(marld::isValidUtf8(bytes), json.find("\\ufffd") == std::string::npos) << json;
    }
}

TEST(Lines, ShowLongNamesCutNamesAsBytesAndTheDecodedRuntimeInformation)
{
    const std::string n600(600, 'n');
    const std::string to = " -> clear (MARL_MSG_RC_INVALID_POINT_ID) to 10.0.0.1:7\n";
    const std::string end = R"("sender":"10.0.0.1:7"})" "\n";
    const auto invalid = [&](auto format, const std::string& name) {
        return marld::queryLine(format, {name, false, MARL_MSG_RC_INVALID_POINT_ID, {}, kSender});
    };
    EXPECT_EQ(invalid(kText, n600 + "xyz"), "query \"" + n600 + "\"... (603 bytes)" + to);
    EXPECT_EQ(invalid(kText, n600), "query \"" + n600 + "\"" + to);
    EXPECT_EQ(invalid(kJson, "a\xff"),
              R"({"event":"query","point":"a\ufffd","pointHex":"61ff","nameLength":2,"state":"clear",)"
              R"("returnCode":"MARL_MSG_RC_INVALID_POINT_ID",)" + end);
    const marld::Threshold threshold{"id", "hi", -1.5F, std::numeric_limits<float>::infinity(), 0.25F, -1};
    const marld::RuntimeInfo info{threshold, {{{}, {}, {}, {}, {}, "t2"}}, Bytes(30)};
    const marld::UpdateAccepted accepted{"ab", true, {false, true, 1}, &info};
    EXPECT_EQ(marld::updateLine(kText, accepted, kSender),
              "update-ext \"ab\" clear -> set (update 1) from 10.0.0.1:7 attributeId=\"id\" "
              "indication=\"hi\" low=-1.5 high=inf observedValue=0.25 armTime=1969-12-31T23:59:59Z "
              "additionalText2=\"t2\"\n");
    EXPECT_EQ(marld::updateLine(kJson, accepted, kSender),
              R"({"event":"update","point":"ab","extended":true,"old":"clear","new":"set","updates":1,)"
              R"("runtimeInfo":{"blockBytes":30,"attributeId":"id","indication":"hi","low":-1.5,"high":null,)"
              R"("observedValue":0.25,"armTime":-1,"armTimeUtc":"1969-12-31T23:59:59Z",)"
              R"("additionalText2":"t2"},)" + end);
    EXPECT_EQ(marld::updateLine(kJson, {"a", false, {true, true, 2}, {}}, kSender),
              R"({"event":"update","point":"a","extended":false,"old":"set","new":"set","updates":2,)" + end);
    EXPECT_EQ(marld::outcomeLine(kJson, marld::Dropped{marld::DropReason::storeFull, 0x8C00}, 48, kSender),
              R"({"event":"dropped","reason":"store-full","id":35840,"bytes":48,)" + end);
    EXPECT_EQ(marld::replyFailedLine(kText, kSender, "EPERM"), "marld: reply to 10.0.0.1:7 failed: EPERM\n");
    EXPECT_EQ(marld::suppressedLine(kJson, 7), "{\"event\":\"suppressed\",\"lines\":7}\n");
}

TEST(LineRateLimiter, LetsTheLimitThroughPerWindowOpenedByTheFirstLine)
{
    marld::LineRateLimiter limiter(1, 1s);
    const marld::LineRateLimiter::Clock::time_point start{500ms}; // the first window opens at the first line
    std::string admitted;
    for (const auto at : {0ns, 1s - 1ns, 1000000000ns, 1000000000ns, 2s + 1ns}) { // the second a tick early
        admitted += limiter.admit(start + at) ? "+" : "-";
    }
    const std::uint64_t suppressed = limiter.takeSuppressed(); // and told once
    EXPECT_EQ(std::tuple(admitted, limiter.windowEnd(), suppressed, limiter.takeSuppressed()),
              std::tuple("+-+-+", start + 3s + 1ns, 2u, 0u));
}

// A loss is told at its first drop, then at most every 10 s while it grows, and ends, told, 10 minutes
// after its last drop; a later drop begins another.
TEST(LossWatch, TellsALossAtOnceThenAtMostEvery10sAndItsEndAfter10QuietMinutes)
{
    setenv("TZ", "UTC", 1); // kT0 is 22:13:20
    tzset();
    marld::LossWatch watch;
    const std::string stale = " updates lost since 22:13: the view may be stale";
    const std::vector<std::tuple<int, std::uint64_t, std::string, std::uint64_t>> rows = { // s, drops, line, lost
        {0, 0, "", 0}, {1, 5, "marld: 5" + stale + " (the receive buffer was full; see --rcvbuf)\n", 5},
        {2, 9, "", 9}, {10, 9, "", 9}, {11, 9, "marld: 9" + stale + " (the receive buffer was full; see --rcvbuf)\n", 9},
        {601, 9, "", 9}, {602, 9, "marld: no update lost since 22:13; 9 were lost from 22:13\n", 0}, {603, 9, "", 0},
        {700, 12, "marld: 3 updates lost since 22:25: the view may be stale (the receive buffer was full; see --rcvbuf)\n", 3}};
    for (const auto& [at, drops, line, lost] : rows) {
        const std::string told = watch.observe(drops, kT0 + at * 1s);
        EXPECT_EQ(std::tuple(told, watch.lost(), watch.warning().empty()), std::tuple(line, lost, lost == 0)) << at;
    }
}

// Short names live in the table, long ones beside it: through several growths of the table, the last
// still moving its points as the first round ends (updates move them on), to where
// a batch's slots are fetched ahead, every point is found, at the place it came in, whether its name
// was expected, passed over or asked for out of turn.
TEST(Store, FindsEveryPointThroughGrowthWhateverWasExpected)
{
    const auto name = [](int i) { return std::to_string(i) + std::string(i % 3 * 12, 'x'); };
    constexpr int kPoints = 13000;
    marld::PointStore store(kPoints);
    for (int round = 0; round < 3; ++round) {
        for (int first = 0; first < kPoints; first += 8) {
            std::vector<std::string> batch;
            for (int i = first; i < std::min(first + 8, kPoints); ++i) {
                batch.push_back(name(i));
            }
            const std::vector<std::string_view> views(batch.begin(), batch.end());
            store.expect(views);
            const std::size_t late = round == 0 ? batch.size() : std::size_t(first / 8 % 8); // out of turn
            for (std::size_t k = 0; k <= batch.size(); ++k) {
                const std::size_t at = k == batch.size() ? late : k;
                if (at < batch.size() && (k == batch.size()) == (at == late)) {
                    ASSERT_TRUE(store.update(views[at], round != 1, kT0 + round * 1s, nullptr)) << batch[at];
                }
            }
            ASSERT_NE(store.find(name(first / 2)), nullptr) << first; // while the table grows too
        }
    }
    EXPECT_FALSE(store.update(std::to_string(kPoints), true, kT0, nullptr)); // full
    std::vector<int> wrong;
    for (int i = 0; i < kPoints; ++i) {
        const auto [point, state] = store.at(std::size_t(i));
        const marld::PointState* found = store.find(name(i));
        if (point != name(i) || found != &state || !state.isSet || state.updateCount != 3 || state.lastChange != kT0 + 2s) {
            wrong.push_back(i);
        }
    }
    EXPECT_EQ(std::pair(wrong, store.setCount()), std::pair(std::vector<int>{}, std::size_t{kPoints}));
    marld::PointStore restored(1); // a state file may hold more points than --max-points lets in
    ASSERT_TRUE(restored.restore(name(5), {nullptr, kT0, 7, true}));
    EXPECT_EQ(std::tuple(store.restore(name(5), {}), restored.restore(name(6), {}), restored.find(name(5))->updateCount,
                         restored.find(name(4))),
              std::tuple(false, false, 7u, nullptr));
}

// The history holds a point's first update and every flip, the last 32; the batch every update, in
// order, a change numbered where it is one.
TEST(Journal, KeepsTheLast32ChangesAndHandsEveryUpdateOver)
{
    marld::Journal journal(true, true);
    for (int i = 0; i < 40; ++i) {
        journal.note("ab", {nullptr, kT0 + i * 1s, std::uint64_t(i + 1), i % 4 < 2}, i == 0 || i % 2 == 0);
    }
    journal.note("cd", {nullptr, kT0, 1, false}, true);
    const auto history = journal.history("ab");
    const marld::JournalBatch batch = journal.takeBatch();
    std::vector<std::uint64_t> changes;
    for (const auto& entry : batch) {
        changes.push_back(entry.change);
    }
    EXPECT_EQ(std::tuple(history.size(), history.front().at, history.back().at, history.back().isSet,
                         journal.history("cd").size(), journal.history("ef").size()),
              std::tuple(20u, kT0, kT0 + 38s, false, 1u, 0u));
    EXPECT_EQ(std::tuple(batch.size(), batch[39].name, batch[39].point.updateCount, batch[40].name, changes[2], changes[3],
                         changes[38], changes[40], journal.takeBatch().size()),
              std::tuple(41u, "ab", 40u, "cd", 2u, 0u, 20u, 1u, 0u));
}

// A list read to its end in pieces of at most `room` bytes.
static std::string readAll(const marld::HttpAnswer& answer, std::size_t room)
{
    std::string read;
    char piece[4096];
    while (answer.stream && !answer.stream->done()) {
        read.append(piece, answer.stream->read(piece, room));
    }
    return read;
}

// A list's arguments against a store of fan-tray-1 (changed at 3 s), Fan-Tray-2 (clear, 1 s), psu/1
// (3 s) and caf\xe9 (a second before 1970), then 32 clear points z0 to z31 (at 0 s, -1 s, ... -31 s):
// the points in the answer, in order, read in pieces of 1 and 4096 bytes, and for /view how many
// matched and the warnings; or the status and message of a refusal.
struct ListRow { std::string target; std::vector<int> points; std::string tail; unsigned status = 200; };

TEST(HttpLists, HoldWhatTheirArgumentsSelectInTheirOrderAndCountWhatMatched)
{
    std::vector<int> newest{2, 0, 1}, zs(32);
    std::iota(zs.begin(), zs.end(), 4);
    newest.insert(newest.end(), zs.begin(), zs.end());
    newest.push_back(3);
    const auto counts = [](int m) { return ",\"matching\":" + std::to_string(m) + R"(,"set":3,"total":36,"warnings":["a\u0009\"b\"",""]})"; };
    const std::vector<ListRow> rows = {
        {"/points?limit=36&sort=newest", newest, ""},
        {"/points?state=set&", {2, 0, 3}, ""},
        {"/points?state=set&sort=oldest", {3, 0, 2}, ""},
        {"/points?sort=name&limit=6", {1, 3, 0, 2, 4, 5}, ""},
        {"/points?filter=z&sort=name&limit=4", {4, 5, 14, 15}, ""}, // z0 z1 z10 z11
        {"/points?state=clear&filter=TRAY", {1}, ""},
        {"/points?filter=fan-TRAY&limit=%31", {0}, ""},
        {"/points?filter=%E9&state=all", {3}, ""},
        {"/points?filter=z&limit=16", {zs.begin(), zs.begin() + 16}, ""},
        {"/points?limit=1", {2}, ""}, // the newest, by default
        {"/points?state=clear&sort=oldest&limit=2", {35, 34}, ""},
        {"/points?limit=0&state=set", {}, ""},
        {"/view?state=set&limit=2", {2, 0}, counts(3)},
        {"/view?state=set&limit=3&sort=name", {3, 0, 2}, counts(3)},
        {"/view?filter=Z&limit=17&sort=oldest", {zs.rbegin(), zs.rbegin() + 17}, counts(32)},
        {"/view?state=clear&limit=0&filter=", {}, counts(33)},
        {"/view?filter=tray-3", {}, counts(0)},
        {"/view?state=on", {}, "state is set, clear or all", 400},
        {"/points?limit=-1", {}, "limit is a count of points", 400},
        {"/view?limit=", {}, "limit is a count of points", 400},
        {"/points?limit=18446744073709551616", {}, "limit is a count of points", 400},
        {"/points?sort=Name", {}, "sort is newest, oldest or name", 400},
        {"/view?sort=", {}, "sort is newest, oldest or name", 400},
        {"/view?state=set&x", {}, "a list takes state, filter, limit and sort", 400},
    };
    marld::PointStore store;
    for (const auto& [name, set, at] : {std::tuple<std::string, bool, int>("fan-tray-1", true, 3), {"Fan-Tray-2", false, 1},
                                        {"psu/1", true, 3}, {"caf\xe9", true, -1'700'000'001}}) {
        ASSERT_TRUE(store.update(name, set, kT0 + at * 1s, nullptr));
    }
    for (int i = 0; i < 32; ++i) {
        ASSERT_TRUE(store.update("z" + std::to_string(i), false, kT0 - i * 1s, nullptr));
    }
    const marld::Journal journal(false, false);
    const marld::Counters counters;
    const std::vector<std::string> warnings{"a\t\"b\"", ""};
    for (const ListRow& row : rows) {
        std::string expected = !row.tail.empty() && row.status == 200 ? "{\"points\":[" : "[";
        for (const int i : row.points) {
            const auto [name, state] = store.at(std::size_t(i));
            expected += (expected.back() == '[' ? "" : ",") + marld::pointJson(name, state);
        }
        expected = row.status != 200 ? row.tail + "\n" : expected + "]" + row.tail + "\n";
        for (const std::size_t room : {1, 4096}) {
            const marld::HttpAnswer answer = marld::respond({store, journal, counters, std::nullopt, -1, &warnings}, "GET", row.target);
            EXPECT_EQ(std::pair(answer.status, answer.body + readAll(answer, room)), std::pair(row.status, expected)) << row.target;
        }
    }
}

// Beyond what one read() looks through: the first 500 set points by name (most alike in their first
// 8 bytes), read a byte at a time as in large pieces; then all of them, newest first, with changes
// made once the first points were looked at: one cleared is left out and not counted, one changed
// since is there once, where it was, as it is now, and one that came since is not.
TEST(HttpLists, LongListsAreSortedAcrossReadsAndTakeChangesMeanwhile)
{
    constexpr int kPoints = 6000;
    marld::PointStore store(kPoints + 1);
    std::vector<std::pair<int, int>> setByTime; // (-time, place): newest first
    std::vector<std::pair<std::string, int>> setByName;
    for (int i = 0; i < kPoints; ++i) {
        const int at = i * 7919 % kPoints; // distinct times, not in the store's order
        const std::string name = "point/p" + std::to_string(i);
        ASSERT_TRUE(store.update(name, i % 3 != 0, kT0 + at * 1ms, nullptr));
        if (i % 3 != 0) {
            setByTime.emplace_back(-at, i);
            setByName.emplace_back(name, i);
        }
    }
    std::sort(setByTime.begin(), setByTime.end());
    std::sort(setByName.begin(), setByName.end());
    const auto listOf = [&](const auto& order, std::size_t count, int without) {
        std::string list;
        for (const auto& [key, i] : std::span(order).first(count)) {
            list += i == without ? "" : (list.empty() ? "" : ",") + std::apply(marld::pointJson, store.at(std::size_t(i)));
        }
        return "[" + list + "]";
    };
    const marld::Journal journal(false, false);
    const marld::Counters counters;
    const auto answer = [&](const char* target) { return marld::respond({store, journal, counters, std::nullopt, -1}, "GET", target); };
    const std::string bytewise = readAll(answer("/points?state=set&limit=500&sort=name"), 1);
    EXPECT_EQ(std::pair(bytewise, bytewise),
              std::pair(readAll(answer("/points?state=set&limit=500&sort=name"), 4096), listOf(setByName, 500, -1) + "\n"));
    const auto all = answer("/view?state=set");
    char piece[64];
    std::string read(piece, all.stream->read(piece, sizeof piece)); // the opening, then the first look at the points
    read.append(piece, all.stream->read(piece, sizeof piece));
    for (const auto& [name, set, at] : {std::tuple("point/p1", false, 9), {"point/p2", false, 9}, {"point/p2", true, 10}, {"new", true, 11}}) {
        ASSERT_TRUE(store.update(name, set, kT0 + at * 1h, nullptr));
    }
    read += readAll(all, 4096);
    EXPECT_EQ(read, "{\"points\":" + listOf(setByTime, setByTime.size(), 1) +
                        R"(,"matching":3999,"set":4000,"total":6001,"warnings":[]})" "\n");
}

#ifdef MARLD_STATE_FILE
static long long countOf(const std::string& path, const char* sql);

// A restart takes up what was kept: state, time of change, count, and the block as it came, padding
// and all; a name that is not UTF-8 keeps its bytes.
TEST(StateFile, TakesUpWhatItKept)
{
    const std::string path = marltest::testDirectory() + "marld-state-unit.db";
    std::remove(path.c_str());
    marld::PointStore store;
    marld::PointNames names;
    marld::Counters counted;
    marld::Journal journal(false, true);
    marld::DatagramHandler handler(store, names, counted, &journal);
    const Bytes ext = extAb("0000 00017800 0000 0000 0000 0000 0000 0000");
    const Bytes raise = update("\xff", true);
    const Bytes extCd = patched(extAb("0000 00017800 0000 0000 0000 0000 0000"), 42, "00000002 6364");
    const Bytes plainCd = patched(kClearAb, 42, "00000002 6364");
    for (const Bytes* bytes : {&ext, &raise, &extCd, &plainCd}) {
        (void)handler.handle(bytes->data(), bytes->size(), kSender, kT0 + (bytes == &ext ? 3s : 4s));
    }
    std::string error;
    ASSERT_TRUE(marld::StateFile::open(path, error)->save(journal.takeBatch(), error)) << error;
    marld::PointStore restored;
    auto state = marld::StateFile::open(path, error);
    ASSERT_TRUE(state && state->load(restored, journal, error)) << error;
    state.reset();
    const marld::PointState* ab = restored.find("ab");
    const marld::PointState* ff = restored.find("\xff");
    const marld::PointState* cd = restored.find("cd"); // its block from the update before its last
    ASSERT_TRUE(ab && ab->runtimeInfo && ff && cd && cd->runtimeInfo);
    EXPECT_EQ(std::tuple(ab->isSet, ab->lastChange, ab->updateCount, ab->runtimeInfo->block, ab->runtimeInfoFromLastUpdate,
                         ff->isSet, ff->lastChange, ff->runtimeInfo == nullptr, cd->runtimeInfoFromLastUpdate, restored.size()),
              std::tuple(false, kT0 + 3s, 1u, Bytes(ext.begin() + 48, ext.end()), true, true, kT0 + 4s, true, false, 3u));
    // A row that does not read back fails the load, naming its point: a state out of range, a bad block.
    for (const char* spoil : {"UPDATE points SET is_set=2 WHERE name=x'6162'",
                              "UPDATE points SET is_set=0, runtime_info=x'00' WHERE name=x'6162'"}) {
        (void)countOf(path, spoil);
        marld::PointStore again;
        EXPECT_FALSE(marld::StateFile::open(path, error)->load(again, journal, error)) << spoil;
        EXPECT_NE(error.find(" is damaged (a points row of point \"ab\" does not read back)"), std::string::npos) << error;
    }
}
static long long countOf(const std::string& path, const char* sql)
{
    sqlite3* db = nullptr;
    sqlite3_stmt* statement = nullptr;
    long long count = -1;
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK && sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
        count = sqlite3_column_int64(statement, 0);
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return count;
}

// Files of the first two schemas (points; points and history) are read and brought up to date; their
// points' blocks read as from an earlier update. The history keeps a point's last 32 changes, in
// memory and in the file, written by the writer's thread.
TEST(StateFile, ReadsOlderSchemasAndKeepsTheLast32Changes)
{
    for (const int version : {1, 2}) {
        const std::string path = marltest::testDirectory() + "marld-state-v" + std::to_string(version) + ".db";
        std::remove(path.c_str());
        const std::vector<std::string> made = {
            "CREATE TABLE points(name BLOB PRIMARY KEY, is_set INTEGER NOT NULL, last_change_ns INTEGER NOT NULL, "
            "update_count INTEGER NOT NULL, runtime_info BLOB) WITHOUT ROWID",
            "INSERT INTO points VALUES(x'6162', 1, 5, 3, x'0000000000000000000000000000')",
            "PRAGMA application_id=1296126540", "PRAGMA user_version=" + std::to_string(version),
            version == 1 ? "" : "CREATE TABLE history(name BLOB NOT NULL, sequence INTEGER NOT NULL, at_ns INTEGER NOT "
                                "NULL, is_set INTEGER NOT NULL, runtime_info BLOB, PRIMARY KEY(name, sequence)) WITHOUT ROWID",
            version == 1 ? "" : "INSERT INTO history VALUES(x'6162', 1, 5, 1, NULL)"};
        for (const std::string& sql : made) {
            (void)countOf(path, sql.c_str());
        }
        std::string error;
        for (int run = 0; run < 2; ++run) {
            marld::PointStore store;
            marld::Journal journal(true, true);
            auto state = marld::StateFile::open(path, error);
            ASSERT_TRUE(state && state->load(store, journal, error)) << error;
            const marld::PointState loaded = *store.find("ab");
            {
                marld::StateWriter writer(std::move(state));
                for (int i = 0; i < 20; ++i) {
                    journal.note("ab", {nullptr, kT0 + (run * 20 + i) * 1s, 3, i % 2 == 0}, true);
                    writer.handFrom(journal, true);
                }
            }
            const auto changes = journal.history("ab");
            const auto first = run == 1 ? kT0 + 8s : version == 1 ? kT0 : marld::WallClock::time_point(5ns);
            // The points row as the older schema held it, then as the last change left it.
            EXPECT_EQ(std::tuple(loaded.updateCount, loaded.lastChange, loaded.runtimeInfo != nullptr,
                                 loaded.runtimeInfoFromLastUpdate, changes.size(), changes.front().at, changes.back().at),
                      std::tuple(3u, run == 0 ? marld::WallClock::time_point(5ns) : kT0 + 19s, run == 0, false,
                                 run == 0 ? 19u + version : 32u, first, kT0 + (run * 20 + 19) * 1s));
        }
        EXPECT_EQ(std::pair(countOf(path, "SELECT count(*) FROM history"), countOf(path, "PRAGMA user_version")),
                  std::pair(32LL, 3LL));
    }
}
#endif

// Descriptors ready together are served in the order they were watched, whatever order they became
// ready in (the UDP socket before HTTP), and then the timers that were due at the wake, earliest first.
TEST(EventLoop, ServesDescriptorsInTheOrderWatchedThenDueTimersEarliestFirst)
{
    marld::EventLoop loop;
    std::array<std::array<int, 2>, 2> pipes{};
    std::string served, error;
    for (std::size_t i = 0; i < pipes.size(); ++i) {
        ASSERT_EQ(pipe(pipes[i].data()), 0);
        ASSERT_TRUE(loop.watch(pipes[i][0], EPOLLIN, [&served, i](std::uint32_t) { served += char('a' + i); }, error)) << error;
    }
    ASSERT_EQ(write(pipes[1][1], "b", 1) + write(pipes[0][1], "a", 1), 2); // the second becomes ready first
    const auto now = marld::EventLoop::Clock::now();
    const auto last = loop.timer([&] { served += 'y'; loop.stop(); });
    loop.arm(last, now - 1ms);
    loop.arm(loop.timer([&] { served += 'x'; }), now - 2ms);
    ASSERT_TRUE(loop.run());
    EXPECT_EQ(served, "abxy");
    for (const auto& ends : pipes) {
        close(ends[0]);
        close(ends[1]);
    }
}
