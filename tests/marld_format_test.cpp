// marld's output: escaping of names in text and JSON, the cut of long names,
// and the rate limit of drop lines.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "eventFormat.h"
#include "lineRateLimiter.h"
#include "test_support.h"

namespace {

struct EscapeCase {
    const char* what;
    std::string name;
    const char* json;
    const char* text;
};

class NameEscaping : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(NameEscaping, KeepsEveryLineIntact)
{
    EXPECT_EQ(marld::jsonString(GetParam().name), GetParam().json);
    EXPECT_EQ(marld::quotedName(GetParam().name), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, NameEscaping,
    ::testing::Values(EscapeCase{"plain", "fan-tray-2/overheat", R"("fan-tray-2/overheat")", R"("fan-tray-2/overheat")"},
                      EscapeCase{"quote_and_backslash", R"(a"b\c)", R"("a\"b\\c")", R"("a\"b\\c")"},
                      EscapeCase{"controls", std::string("\0\x01\n\x1f\x7f", 5), R"("\u0000\u0001\u000a\u001f\u007f")",
                                 R"("\x00\x01\x0a\x1f\x7f")"},
                      EscapeCase{"utf8_two_three_four", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80",
                                 "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"", "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\""},
                      EscapeCase{"lone_ff", "a\xff", R"("a\ufffd")", "\"a\xff\""},
                      EscapeCase{"overlong_slash", "\xc0\xaf", R"("\ufffd\ufffd")", "\"\xc0\xaf\""},
                      EscapeCase{"surrogate", "\xed\xa0\x80", R"("\ufffd\ufffd\ufffd")", "\"\xed\xa0\x80\""},
                      EscapeCase{"beyond_10ffff", "\xf4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")",
                                 "\"\xf4\x90\x80\x80\""},
                      EscapeCase{"cut_sequence", "\xe2\x82", R"("\ufffd\ufffd")", "\"\xe2\x82\""}),
    [](const auto& param) { return std::string(param.param.what); });

marld::QueryAnswered answer(std::string point)
{
    marld::QueryAnswered query;
    query.point = std::move(point);
    query.returnCode = MARL_MSG_RC_INVALID_POINT_ID;
    query.replyTo = {0x7F000001, 5000};
    return query;
}

TEST(QueryLine, LongNamesAreCutAndTheirLengthShown)
{
    const std::string shown(600, 'n');
    EXPECT_EQ(marld::queryLine(marld::OutputFormat::text, answer(shown + "xyz")),
              "query \"" + shown + "\"... (603 bytes) -> clear (MARL_MSG_RC_INVALID_POINT_ID) to 127.0.0.1:5000\n");
    EXPECT_EQ(marld::queryLine(marld::OutputFormat::json, answer(shown + "xyz")),
              "{\"event\":\"query\",\"point\":\"" + shown +
                  "\",\"nameLength\":603,\"state\":\"clear\",\"returnCode\":\"MARL_MSG_RC_INVALID_POINT_ID\","
                  "\"sender\":\"127.0.0.1:5000\"}\n");
}

TEST(QueryLine, JsonGivesTheBytesOfANameThatIsNotUtf8)
{
    EXPECT_EQ(marld::queryLine(marld::OutputFormat::json, answer("a\xff")),
              "{\"event\":\"query\",\"point\":\"a\\ufffd\",\"pointHex\":\"61ff\",\"nameLength\":2,\"state\":\"clear\","
              "\"returnCode\":\"MARL_MSG_RC_INVALID_POINT_ID\",\"sender\":\"127.0.0.1:5000\"}\n");
}

TEST(LineRateLimiter, LetsAFewLinesThroughPerWindowAndReportsTheRestOnce)
{
    using Clock = marld::LineRateLimiter::Clock;
    marld::LineRateLimiter limiter(3, std::chrono::seconds(1));
    const Clock::time_point start{std::chrono::seconds(100)};
    int admitted = 0;
    for (int i = 0; i < 10; ++i) {
        admitted += limiter.admit(start + std::chrono::milliseconds(10 * i)) ? 1 : 0;
    }
    EXPECT_EQ(admitted, 3);
    EXPECT_EQ(limiter.takeSuppressed(start + std::chrono::milliseconds(999)), 0u) << "window still open";
    EXPECT_EQ(limiter.takeSuppressed(start + std::chrono::seconds(1)), 7u);
    EXPECT_EQ(limiter.takeSuppressed(start + std::chrono::seconds(2)), 0u) << "reported once";

    EXPECT_TRUE(limiter.admit(start + std::chrono::seconds(3))) << "a new window";
    EXPECT_TRUE(limiter.admit(start + std::chrono::seconds(3)));
    EXPECT_TRUE(limiter.admit(start + std::chrono::seconds(3)));
    EXPECT_FALSE(limiter.admit(start + std::chrono::seconds(3)));
    EXPECT_EQ(limiter.takeSuppressed(start + std::chrono::seconds(3), true), 1u) << "forced at exit";
}

} // namespace

namespace {

// Decoded runtime information in both forms: floats that JSON cannot carry,
// an arm time before 1970, and only the texts that were present.
TEST(UpdateLine, ShowsTheDecodedRuntimeInformation)
{
    marld::UpdateAccepted update;
    update.point = "ab";
    update.extended = true;
    update.change = {false, true, 1};
    marld::RuntimeInfo info;
    info.blockSize = 30;
    info.threshold = marld::Threshold{std::nullopt, "hi", -1.5F, std::numeric_limits<float>::infinity(), 0.25F, -1};
    info.texts[5] = "t2";
    update.runtimeInfo = info;
    const marld::Endpoint sender{0x7F000001, 5000};
    EXPECT_EQ(marld::updateLine(marld::OutputFormat::text, update, sender),
              "update-ext \"ab\" clear -> set (update 1) from 127.0.0.1:5000 indication=\"hi\" low=-1.5 high=inf "
              "observedValue=0.25 armTime=1969-12-31T23:59:59Z additionalText2=\"t2\"\n");
    EXPECT_EQ(marld::updateLine(marld::OutputFormat::json, update, sender),
              "{\"event\":\"update\",\"point\":\"ab\",\"extended\":true,\"old\":\"clear\",\"new\":\"set\",\"updates\":1,"
              "\"runtimeInfo\":{\"blockBytes\":30,\"indication\":\"hi\",\"low\":-1.5,\"high\":null,\"observedValue\":0.25,"
              "\"armTime\":-1,\"armTimeUtc\":\"1969-12-31T23:59:59Z\",\"additionalText2\":\"t2\"},"
              "\"sender\":\"127.0.0.1:5000\"}\n");
}

} // namespace
