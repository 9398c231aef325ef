// The library and the command-line tool against marld over loopback, found
// through the real services look-up: the test runs in private namespaces
// whose services file names "marl" (scripts/with-services.sh), and marld
// binds the port of that entry.
#include <gtest/gtest.h>
#include <netdb.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "marlclient.h"
#include "marld_process.h"
#include "tool_commands.h"

using marltest::ChildProcess;
using marltest::MarldProcess;

namespace {

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (getservbyname("marl", nullptr) == nullptr) {
            GTEST_SKIP() << "no \"marl\" services entry: run through ctest, as root (scripts/with-services.sh)";
        }
    }

    // marld on the services entry's port, with `arguments`.
    static std::unique_ptr<MarldProcess> startMarld(std::vector<std::string> arguments = {})
    {
        auto marld = std::make_unique<MarldProcess>(std::move(arguments), /*kernelPort=*/false);
        EXPECT_NE(marld->port(), 0) << marld->stderrText();
        return marld;
    }

    // Runs marl with `arguments`; returns its exit status.
    static int runMarl(std::vector<std::string> arguments, std::string* out = nullptr, std::string* err = nullptr)
    {
        std::vector<std::string> command = {MARL_COMMAND};
        command.insert(command.end(), arguments.begin(), arguments.end());
        ChildProcess marl(command);
        const int status = marl.wait(std::chrono::seconds(30));
        if (out != nullptr) {
            *out = marl.stdoutText();
        }
        if (err != nullptr) {
            *err = marl.stderrText();
        }
        return status;
    }
};

TEST_F(EndToEnd, RaiseQueryClearQueryAndAnUnknownPoint)
{
    const auto marld = startMarld();
    std::uint8_t value = 7;
    ASSERT_TRUE(update_marl_point("ab", 1));
    ASSERT_TRUE(read_marl_point("ab", &value));
    EXPECT_EQ(value, 1);
    ASSERT_TRUE(update_marl_point("ab", 0));
    ASSERT_TRUE(read_marl_point("ab", &value));
    EXPECT_EQ(value, 0);
    value = 7;
    ASSERT_TRUE(read_marl_point("never-updated", &value));
    EXPECT_EQ(value, 0);
    EXPECT_EQ(marld->stop(), 0);
    EXPECT_NE(marld->stdoutText().find("update \"ab\" clear -> set (update 1)"), std::string::npos);
    EXPECT_NE(marld->stdoutText().find("marld: queries 3"), std::string::npos) << marld->stdoutText();
}

TEST_F(EndToEnd, NamesTheServiceRejectsAreInvalidPoints)
{
    const std::string points = testing::TempDir() + "marl-points";
    std::ofstream(points) << "ab\n";
    const auto marld = startMarld({"--points", points});
    const std::string thousand(1000, 'q');
    for (const std::string& name : {std::string("zz"), std::string("a\x01"), thousand}) {
        std::uint8_t value = 7;
        EXPECT_FALSE(read_marl_point(name.c_str(), &value)) << name.size();
        EXPECT_EQ(value, 7);
    }
    std::uint8_t value = 7;
    EXPECT_TRUE(read_marl_point("ab", &value)) << "a listed name is valid";
    EXPECT_EQ(marld->stop(), 0);
    EXPECT_NE(marld->stdoutText().find("... (1000 bytes) -> clear (MARL_MSG_RC_INVALID_POINT_ID)"), std::string::npos)
        << marld->stdoutText();
}

TEST_F(EndToEnd, RuntimeInformationArrivesDecoded)
{
    const auto marld = startMarld({"--json"});
    char attribute[] = "temperature";
    char indication[] = "high";
    t_threshold_info threshold{attribute, {indication, 10.5F, 80.0F}, 85.25F, 1700000000};
    ASSERT_TRUE(update_marl_point_ext("ab", 1, &threshold, "board 3", nullptr, nullptr, nullptr, "fan", nullptr));
    std::uint8_t value = 0;
    ASSERT_TRUE(read_marl_point("ab", &value)) << "the update is handled before the query";
    EXPECT_EQ(marld->stop(), 0);
    EXPECT_NE(marld->stdoutText().find("\"runtimeInfo\":{\"blockBytes\":63,\"attributeId\":\"temperature\","
                                       "\"indication\":\"high\",\"low\":10.5,\"high\":80,\"observedValue\":85.25,"
                                       "\"armTime\":1700000000,\"armTimeUtc\":\"2023-11-14T22:13:20Z\","
                                       "\"monitoredAttributes\":\"board 3\",\"additionalText1\":\"fan\"}"),
              std::string::npos)
        << marld->stdoutText();
}

// Threads raise, clear and query their own points at once; serialised
// queries give each thread the reply to its own query.
TEST_F(EndToEnd, ConcurrentThreadsEachSeeTheirOwnPoint)
{
    const auto marld = startMarld();
    constexpr int kThreads = 6;
    constexpr int kRounds = 40;
    std::vector<int> wrong(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &wrong] {
            const std::string name = "point-" + std::to_string(t);
            for (int round = 0; round < kRounds; ++round) {
                const std::uint8_t expected = (round + t) % 2;
                std::uint8_t value = 7;
                if (!update_marl_point(name.c_str(), expected) || !read_marl_point(name.c_str(), &value) ||
                    value != expected) {
                    ++wrong[static_cast<std::size_t>(t)];
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong, std::vector<int>(kThreads, 0));
    EXPECT_EQ(marld->stop(), 0);
}

// marl's exit statuses and output: 0 and set/clear, 1 when the library
// reports a failure (its line on stderr), 2 for a usage error.
TEST_F(EndToEnd, CommandLineToolStatusesAndOutput)
{
    const std::string points = testing::TempDir() + "marl-cli-points";
    std::ofstream(points) << "ab\n";
    const auto marld = startMarld({"--points", points});
    std::string out;
    std::string err;
    EXPECT_EQ(runMarl({"raise", "ab"}), 0);
    EXPECT_EQ(runMarl({"query", "ab"}, &out), 0);
    EXPECT_EQ(out, "set\n");
    EXPECT_EQ(runMarl({"--monitored", "x", "--low", "1.5", "clear", "ab"}), 0);
    EXPECT_EQ(runMarl({"query", "ab"}, &out), 0);
    EXPECT_EQ(out, "clear\n");
    EXPECT_EQ(runMarl({"query", "zz"}, &out, &err), 1);
    EXPECT_EQ(out, "");
    EXPECT_NE(err.find("] read_marl_point invalid point zz"), std::string::npos) << err;
    EXPECT_EQ(runMarl({"raise"}, nullptr, &err), 2);
    EXPECT_EQ(runMarl({"--low", "warm", "raise", "ab"}, nullptr, &err), 2);
    EXPECT_NE(err.find("invalid value 'warm' for --low"), std::string::npos) << err;
    EXPECT_EQ(marld->stop(), 0);
    EXPECT_NE(marld->stdoutText().find("update-ext \"ab\" set -> clear (update 2) from"), std::string::npos)
        << marld->stdoutText();
}

} // namespace
