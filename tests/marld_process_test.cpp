// marld as a process: it keeps serving whatever it is sent, prints the
// documented lines and counters, stops cleanly on either signal and refuses
// bad command lines. Then marl, and through it the library, against marld
// over loopback, both finding the port through the real services look-up.
#include <gtest/gtest.h>
#include <netdb.h>

#include <fstream>
#include <sstream>

#include "child_process.h"
#include "test_support.h"

using namespace marltest;

namespace {

const Bytes kQueryAb = datagramBytes(marl::QueryDatagram{"ab"});

TEST(Marld, CountsWhatItDropsKeepsServingAndStopsOnSigint)
{
    MarldProcess marld({"--rcvbuf", "262144", "--recv-batch", "1"});
    ASSERT_NE(marld.port(), 0) << marld.stderrText();
    UdpPeer client;
    // A raise of ab, then clears of ab that must be dropped, one for each
    // reason a client can provoke, then a query of ab.
    const Bytes clear = datagramBytes(marl::UpdateDatagram{"ab", false});
    const std::vector<Bytes> sent = {datagramBytes(marl::UpdateDatagram{"ab", true}), resized(clear, 8),
                                     datagramBytes(marl::ResponseDatagram{"ab", false}),
                                     patched(clear, 4, "0000002f"), patched(clear, 42, "ffffffff"),
                                     patched(clear, 42, "00000001"), patched(clear, 47, "01"),
                                     patched(clear, 2, "8c04"), kQueryAb};
    for (const Bytes& bytes : sent) {
        client.send(marld.port(), bytes);
    }
    EXPECT_EQ(client.receive(std::chrono::seconds(10)), datagramBytes(marl::ResponseDatagram{"ab", true}));
    ASSERT_EQ(marld.stop(SIGINT), 0) << marld.stderrText();
    const std::string from = "127.0.0.1:" + std::to_string(client.port());
    EXPECT_EQ(marld.stdoutText(), "marld: listening on 127.0.0.1:" + std::to_string(marld.port()) +
                                      "\nupdate \"ab\" clear -> set (update 1) from " + from +
                                      "\nquery \"ab\" -> set (MARL_MSG_RC_OK) to " + from +
                                      "\nmarld: received 9\nmarld: accepted 2\nmarld: updates 1\n"
                                      "marld: queries 1\nmarld: dropped 7\nmarld: dropped short-datagram 1\n"
                                      "marld: dropped unknown-id 1\nmarld: dropped length-mismatch 1\n"
                                      "marld: dropped name-overrun 1\nmarld: dropped trailing-bytes 1\n"
                                      "marld: dropped invalid-name 1\nmarld: dropped update-too-long 0\n"
                                      "marld: dropped invalid-runtime-info 1\nmarld: dropped store-full 0\n"
                                      "marld: dropped out-of-memory 0\nmarld: receive-errors 0\n"
                                      "marld: reply-errors 0\n");
    // Drop lines are rate-limited: those shown and those suppressed add up to
    // the drops (any other line spoils the sum), and what a window suppressed
    // is told once, when it is over, never twice in a row.
    std::size_t accounted = 0;
    bool told = false;
    std::istringstream errors(marld.stderrText());
    for (std::string line; std::getline(errors, line);) {
        const bool drop =
            line.starts_with("marld: dropped ") && line.find(" bytes from " + from + ": ") != std::string::npos;
        const bool tells = line.ends_with(" more lines not shown");
        EXPECT_FALSE(told && tells) << marld.stderrText();
        told = tells;
        accounted += tells ? std::stoul(line.substr(7)) : drop ? 1 : 1000;
    }
    EXPECT_EQ(accounted, sent.size() - 2) << marld.stderrText();
}

TEST(Marld, JsonLinesAreTheDocumentedObjectsAndSigtermEndsThem)
{
    MarldProcess marld({"--json", "--recv-batch", "1024", "--bind", "127.0.0.1"});
    ASSERT_NE(marld.port(), 0) << marld.stderrText();
    UdpPeer client;
    const std::string sender = R"("sender":"127.0.0.1:)" + std::to_string(client.port()) + "\"}\n";
    const t_threshold_info threshold{const_cast<char*>("a"), {const_cast<char*>("b"), 1.0F, 2.0F}, 0.5F, 16};
    const marl::DynamicInfoView info{&threshold, {"x"}};
    // A name with a quote, a backslash and UTF-8 raised with runtime
    // information; a query of a name with a control byte; a datagram too
    // short for a header; a query of ab.
    client.send(marld.port(), datagramBytes(marl::UpdateDatagram{"\"\\\xc3\xa9!", true, &info}));
    client.send(marld.port(), datagramBytes(marl::QueryDatagram{"a\x01"}));
    client.send(marld.port(), hexBytes("00 8c 00"));
    client.send(marld.port(), kQueryAb);
    ASSERT_TRUE(client.receive(std::chrono::seconds(10)) && client.receive(std::chrono::seconds(10)));
    EXPECT_EQ(marld.wait(std::chrono::milliseconds(1100)), -1) << "stopped at a wake-up with nothing to do";
    ASSERT_EQ(marld.stop(SIGTERM), 0);
    const std::string query = R"({"event":"query","point":)";
    EXPECT_EQ(marld.stdoutText(),
              R"({"event":"listening","address":"127.0.0.1","port":)" + std::to_string(marld.port()) + "}\n" +
                  R"({"event":"update","point":"\"\\é!","extended":true,"old":"clear","new":"set","updates":1,)"
                  R"("runtimeInfo":{"blockBytes":40,"attributeId":"a","indication":"b","low":1,"high":2,)"
                  R"("observedValue":0.5,"armTime":16,"armTimeUtc":"1970-01-01T00:00:16Z",)"
                  R"("monitoredAttributes":"x"},)" + sender + query +
                  R"("a\u0001","nameLength":2,"state":"clear","returnCode":"MARL_MSG_RC_INVALID_POINT_ID",)" +
                  sender + query + R"("ab","nameLength":2,"state":"clear","returnCode":"MARL_MSG_RC_OK",)" +
                  sender + R"({"event":"counters","received":4,"accepted":3,"updates":1,"queries":2,)"
                  R"("dropped":1,"droppedBy":{"short-datagram":1,"unknown-id":0,"length-mismatch":0,)"
                  R"("name-overrun":0,"trailing-bytes":0,"invalid-name":0,"update-too-long":0,)"
                  R"("invalid-runtime-info":0,"store-full":0,"out-of-memory":0},"receiveErrors":0,)"
                  R"("replyErrors":0})" "\n");
    EXPECT_EQ(marld.stderrText(),
              R"({"event":"dropped","reason":"short-datagram","id":null,"bytes":3,)" + sender);
}

// A port that stays taken while the tests run.
const UdpPeer kTaken;
const std::string kTakenPort = std::to_string(kTaken.port());

struct CommandRow {
    const char* what;
    std::vector<std::string> arguments;
    int status;
    std::string start; // of stdout with status 0, else of stderr after "marld: "; the other is empty
};
class CommandLine : public ::testing::TestWithParam<CommandRow> {};

TEST_P(CommandLine, EndsWithThisStatusAndMessage)
{
    const auto& [what, arguments, status, start] = GetParam();
    if (arguments.empty() && getservbyname("marl", "udp") != nullptr) {
        GTEST_SKIP() << "this machine's services database names marl";
    }
    MarldProcess marld(arguments, false);
    EXPECT_EQ(marld.port(), 0);
    EXPECT_EQ(marld.wait(), status);
    const std::string message = status == 0 ? marld.stdoutText() : marld.stderrText();
    EXPECT_TRUE(message.starts_with(status == 0 ? start : "marld: " + start)) << message;
    EXPECT_EQ(status == 0 ? marld.stderrText() : marld.stdoutText(), "");
}

// Each bound as an exact fit that passes beside one past it that fails.
INSTANTIATE_TEST_SUITE_P(
    Options, CommandLine,
    ::testing::ValuesIn(std::vector<CommandRow>{
        {"help", {"--port", "0", "--help"}, 0, "Usage: marld [OPTION]...\n"},
        {"lowest", {"--port", "0", "--rcvbuf", "1", "--max-points", "1", "--recv-batch", "1", "--version"}, 0,
         "marld 1.0.0\n"},
        {"highest", {"--port", "65535", "--rcvbuf", "1073741823", "--recv-batch", "1024", "--version"}, 0,
         "marld 1.0.0\n"},
        {"no_services_entry", {}, 2,
         "the services database has no \"marl\" entry; give the port with --port N\n"},
        {"unknown_option", {"--port", "0", "--verbose"}, 2, "unknown option --verbose\n"},
        {"argument", {"--port=0", "extra"}, 2, "unexpected argument extra\n"},
        {"flag_with_value", {"--json=yes"}, 2, "option --json takes no value\n"},
        {"port_too_large", {"--port", "65536"}, 2,
         "invalid value for --port: \"65536\" (a port number from 0 to 65535)\n"},
        {"port_missing", {"--port"}, 2, "option --port needs a value\n"},
        {"port_in_use", {"--port", kTakenPort}, 2,
         "cannot bind to 127.0.0.1:" + kTakenPort + ": Address already in use\n"},
        {"bind_not_address", {"--port", "0", "--bind", "localhost"}, 2,
         "invalid value for --bind: \"localhost\" (an IPv4 address in dotted-quad form)\n"},
        {"bind_elsewhere", {"--port", "0", "--bind", "192.0.2.1"}, 2, "cannot bind to 192.0.2.1:0: "},
        {"points_missing", {"--port", "0", "--points", "/nonexistent/points"}, 2,
         "cannot open the points file /nonexistent/points\n"},
        {"points_empty_name", {"--points="}, 2, "invalid value for --points: \"\" (a file name)\n"},
        {"rcvbuf_zero", {"--rcvbuf", "0"}, 2,
         "invalid value for --rcvbuf: \"0\" (a positive number of bytes)\n"},
        {"rcvbuf_over_half_int", {"--rcvbuf", "1073741824"}, 2, "invalid value for --rcvbuf: \"1073741824\""},
        {"max_points_zero", {"--port", "0", "--max-points", "0"}, 2, "invalid value for --max-points: \"0\""},
        {"recv_batch_zero", {"--recv-batch", "0"}, 2, "invalid value for --recv-batch: \"0\""},
        {"recv_batch_too_large", {"--port", "0", "--recv-batch", "1025"}, 2,
         "invalid value for --recv-batch: \"1025\" (a number of datagrams from 1 to 1024)\n"}}),
    [](const auto& p) { return std::string(p.param.what); });

// Run by ctest in private namespaces whose services file names "marl"
// (scripts/with-services.sh), where marld binds the port of that entry.
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
    const struct {
        std::vector<std::string> command;
        int status;
        std::string out;
        std::string err; // a line of stderr ("" for an empty one)
    } runs[] = {
        {{MARL_COMMAND, "raise", "ab"}, 0, "", ""},
        {{MARL_COMMAND, "query", "ab"}, 0, "set\n", ""},
        {{MARL_COMMAND, "--monitored", "x", "--arm-time", "-5", "--low", "1.5", "clear", "ab"}, 0, "",
         "] update_marl_point_ext: update the marl point with runtime info\n"},
        {{MARL_COMMAND, "query", "ab"}, 0, "clear\n", ""},
        {{MARL_COMMAND, "query", "zz"}, 1, "", "] read_marl_point invalid point zz\n"},
        {{MARL_COMMAND, "query", longName}, 1, "", "] read_marl_point invalid point " + longName + "\n"},
        {{MARL_COMMAND, "raise"}, 2, "", "marl: expected a command and a point name\n"},
        {{MARL_COMMAND, "--low", "warm", "raise", "ab"}, 2, "", "marl: invalid value 'warm' for --low\n"},
        {{MARL_COMMAND, "--arm-time", "2147483648", "raise", "ab"}, 2, "",
         "marl: invalid value '2147483648' for --arm-time\n"},
        {{MARL_COMMAND, "--text2", "x", "query", "ab"}, 2, "",
         "marl: runtime options go with raise and clear, not 'query'\n"},
        {{MARL_COMMAND, "lower", "ab"}, 2, "", "marl: unknown command 'lower'\n"}};
    for (const auto& [command, status, out, err] : runs) {
        ChildProcess marl(command);
        EXPECT_EQ(marl.wait(std::chrono::seconds(30)), status) << command.back();
        EXPECT_EQ(marl.stdoutText(), out);
        EXPECT_TRUE(err.empty() ? marl.stderrText().empty() : marl.stderrText().find(err) != std::string::npos)
            << marl.stderrText();
    }
    EXPECT_EQ(marld.stop(), 0);
    const std::string out = marld.stdoutText();
    for (const char* part : {R"("runtimeInfo":{"blockBytes":36,"low":1.5,"high":0,"observedValue":0,)"
                             R"("armTime":-5,)",
                             R"("nameLength":1000,"state":"clear",)"
                             R"("returnCode":"MARL_MSG_RC_INVALID_POINT_ID")",
                             R"("received":6,"accepted":6,)"}) {
        EXPECT_NE(out.find(part), std::string::npos) << part << " in " << out;
    }
}

} // namespace
