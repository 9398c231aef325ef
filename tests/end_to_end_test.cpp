// marl, and through it the library, against marld over loopback, both
// finding the port through the real services look-up: the test runs in
// private namespaces whose services file names "marl"
// (scripts/with-services.sh), and marld binds the port of that entry.
#include <gtest/gtest.h>
#include <netdb.h>

#include <fstream>

#include "child_process.h"

using namespace marltest;

namespace {

struct MarlRun {
    std::vector<std::string> arguments;
    int status;
    std::string out;
    std::string errEnd; // how stderr ends ("" for an empty one)
};

// marl's exit statuses and output: 0 and set/clear, 1 when the library
// reports a failure (its line on stderr), 2 for a usage error.
TEST(EndToEnd, MarlRaisesQueriesAndClearsThroughMarld)
{
    if (getservbyname("marl", nullptr) == nullptr) {
        GTEST_SKIP() << "no \"marl\" services entry: run through ctest, as root (scripts/with-services.sh)";
    }
    const std::string points = testing::TempDir() + "marl-points";
    std::ofstream(points) << "ab\n";
    MarldProcess marld({"--points", points, "--json"}, /*kernelPort=*/false);
    ASSERT_NE(marld.port(), 0) << marld.stderrText();
    const std::string longName(1000, 'q');
    for (const MarlRun& run : std::vector<MarlRun>{
             {{"raise", "ab"}, 0, "", ""},
             {{"query", "ab"}, 0, "set\n", ""},
             {{"--monitored", "x", "--arm-time", "-5", "--low", "1.5", "clear", "ab"}, 0, "",
              "] update_marl_point_ext: update the marl point with runtime info\n"},
             {{"query", "ab"}, 0, "clear\n", ""},
             {{"query", "zz"}, 1, "", "] read_marl_point invalid point zz\n"},
             {{"query", longName}, 1, "", "] read_marl_point invalid point " + longName + "\n"},
             {{"raise"}, 2, "", "marl: expected a command and a point name\n"},
             {{"--low", "warm", "raise", "ab"}, 2, "", "marl: invalid value 'warm' for --low\n"},
             {{"--arm-time", "2147483648", "raise", "ab"}, 2, "", "marl: invalid value '2147483648' for --arm-time\n"},
             {{"--text2", "x", "query", "ab"}, 2, "", "marl: runtime options go with raise and clear, not 'query'\n"},
             {{"lower", "ab"}, 2, "", "marl: unknown command 'lower'\n"}}) {
        std::vector<std::string> command = {MARL_COMMAND};
        command.insert(command.end(), run.arguments.begin(), run.arguments.end());
        ChildProcess marl(command);
        EXPECT_EQ(marl.wait(std::chrono::seconds(30)), run.status) << run.arguments.back();
        EXPECT_EQ(marl.stdoutText(), run.out);
        EXPECT_TRUE(run.errEnd.empty() ? marl.stderrText().empty() : marl.stderrText().find(run.errEnd) != std::string::npos)
            << marl.stderrText();
    }
    EXPECT_EQ(marld.stop(), 0);
    const std::string out = marld.stdoutText();
    EXPECT_NE(out.find("\"runtimeInfo\":{\"blockBytes\":36,\"low\":1.5,\"high\":0,\"observedValue\":0,\"armTime\":-5,"), std::string::npos)
        << out;
    EXPECT_NE(out.find("\"nameLength\":1000,\"state\":\"clear\",\"returnCode\":\"MARL_MSG_RC_INVALID_POINT_ID\""), std::string::npos);
    EXPECT_NE(out.find("\"received\":6,\"accepted\":6,"), std::string::npos);
}

} // namespace
