// The library and the command-line tool against marld over loopback, found
// through the real services look-up: the test runs in private namespaces
// whose services file names "marl" (scripts/with-services.sh), and marld
// binds the port of that entry.
#include <gtest/gtest.h>
#include <netdb.h>

#include <fstream>

#include "child_process.h"
#include "marlclient.h"

using namespace marltest;

namespace {

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (getservbyname("marl", nullptr) == nullptr) {
            GTEST_SKIP() << "no \"marl\" services entry: run through ctest, as root (scripts/with-services.sh)";
        }
        std::ofstream(points_) << "ab\n";
        ASSERT_NE(marld_.port(), 0) << marld_.stderrText();
    }

    // Runs marl with `arguments`: its exit status, stdout and stderr.
    static std::tuple<int, std::string, std::string> marl(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), {MARL_COMMAND});
        ChildProcess marl(arguments);
        const int status = marl.wait(std::chrono::seconds(30));
        return {status, marl.stdoutText(), marl.stderrText()};
    }

    const std::string points_ = testing::TempDir() + "marl-points";
    MarldProcess marld_{{"--points", points_, "--json"}, /*kernelPort=*/false};
};

TEST_F(EndToEnd, TheLibraryRaisesQueriesAndClearsWithRuntimeInformation)
{
    std::uint8_t value = 7;
    ASSERT_TRUE(update_marl_point("ab", 1) && read_marl_point("ab", &value));
    EXPECT_EQ(value, 1);
    char attribute[] = "temperature";
    char indication[] = "high";
    const t_threshold_info threshold{attribute, {indication, 10.5F, 80.0F}, 85.25F, 1700000000};
    ASSERT_TRUE(update_marl_point_ext("ab", 0, &threshold, "board 3", nullptr, nullptr, nullptr, "fan", nullptr));
    ASSERT_TRUE(read_marl_point("ab", &value));
    EXPECT_EQ(value, 0);
    // Unlisted, with a control byte, longer than any update may carry.
    for (const std::string& name : {std::string("zz"), std::string("a\x01"), std::string(1000, 'q')}) {
        EXPECT_FALSE(read_marl_point(name.c_str(), &value)) << name.size();
    }
    EXPECT_EQ(value, 0);
    EXPECT_EQ(marld_.stop(), 0);
    const std::string out = marld_.stdoutText();
    EXPECT_NE(out.find("\"runtimeInfo\":{\"blockBytes\":63,\"attributeId\":\"temperature\",\"indication\":\"high\",\"low\":10.5,"
                       "\"high\":80,\"observedValue\":85.25,\"armTime\":1700000000,\"armTimeUtc\":\"2023-11-14T22:13:20Z\","
                       "\"monitoredAttributes\":\"board 3\",\"additionalText1\":\"fan\"}"),
              std::string::npos) << out;
    EXPECT_NE(out.find("\"nameLength\":1000,\"state\":\"clear\",\"returnCode\":\"MARL_MSG_RC_INVALID_POINT_ID\""), std::string::npos);
    EXPECT_NE(out.find("\"received\":7,\"accepted\":7,"), std::string::npos);
}

// marl's exit statuses and output: 0 and set/clear, 1 when the library
// reports a failure (its line on stderr), 2 for a usage error.
TEST_F(EndToEnd, TheCommandLineTool)
{
    using Result = std::tuple<int, std::string, std::string>;
    EXPECT_EQ(marl({"raise", "ab"}), Result(0, "", ""));
    EXPECT_EQ(marl({"query", "ab"}), Result(0, "set\n", ""));
    EXPECT_EQ(std::get<0>(marl({"--monitored", "x", "--arm-time", "-5", "--low", "1.5", "clear", "ab"})), 0);
    EXPECT_EQ(marl({"query", "ab"}), Result(0, "clear\n", ""));
    const auto [status, out, err] = marl({"query", "zz"});
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(out.empty() && err.ends_with("] read_marl_point invalid point zz\n")) << err;
    for (const auto& [arguments, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"raise"}, "marl: expected a command and a point name\n"},
             {{"--low", "warm", "raise", "ab"}, "marl: invalid value 'warm' for --low\n"},
             {{"--arm-time", "2147483648", "raise", "ab"}, "marl: invalid value '2147483648' for --arm-time\n"},
             {{"--text2", "x", "query", "ab"}, "marl: runtime options go with raise and clear, not 'query'\n"},
             {{"lower", "ab"}, "marl: unknown command 'lower'\n"}}) {
        const auto [code, stdoutText, stderrText] = marl(arguments);
        EXPECT_EQ(code, 2);
        EXPECT_TRUE(stderrText.starts_with(message)) << stderrText;
    }
    EXPECT_EQ(marld_.stop(), 0);
    EXPECT_NE(marld_.stdoutText().find("\"runtimeInfo\":{\"blockBytes\":36,\"low\":1.5,\"high\":0,\"observedValue\":0,\"armTime\":-5,"),
              std::string::npos) << marld_.stdoutText();
}

} // namespace
