// marld as a process: it keeps serving whatever it is sent, prints the
// documented lines and counters, stops cleanly on either signal and refuses
// bad command lines.
#include <gtest/gtest.h>
#include <netdb.h>

#include <sstream>

#include "child_process.h"
#include "test_support.h"

using namespace marltest;

namespace {

const Bytes kRaiseAb = datagramBytes(marl::UpdateDatagram{"ab", true});
const Bytes kQueryAb = datagramBytes(marl::QueryDatagram{"ab"});

TEST(Marld, CountsWhatItDropsKeepsServingAndStopsOnSigint)
{
    MarldProcess marld({"--rcvbuf", "262144", "--recv-batch", "1"});
    ASSERT_NE(marld.port(), 0) << marld.stderrText();
    UdpPeer client;
    const Bytes clearAb = datagramBytes(marl::UpdateDatagram{"ab", false});
    // Clears of ab that must be dropped, one for each reason a client can provoke.
    const std::vector<Bytes> malformed = {Bytes(clearAb.begin(), clearAb.begin() + 8), datagramBytes(marl::ResponseDatagram{"ab", false}),
                                          patched(clearAb, 4, "0000002f"), patched(clearAb, 42, "ffffffff"),
                                          patched(clearAb, 42, "00000001"), patched(clearAb, 47, "01"), patched(clearAb, 2, "8c04")};
    client.send(marld.port(), kRaiseAb);
    for (const Bytes& bytes : malformed) {
        client.send(marld.port(), bytes);
    }
    client.send(marld.port(), kQueryAb);
    EXPECT_EQ(client.receive(std::chrono::seconds(10)), datagramBytes(marl::ResponseDatagram{"ab", true}));
    ASSERT_EQ(marld.stop(SIGINT), 0) << marld.stderrText();
    const std::string from = "127.0.0.1:" + std::to_string(client.port());
    EXPECT_EQ(marld.stdoutText(), "marld: listening on 127.0.0.1:" + std::to_string(marld.port()) + "\nupdate \"ab\" clear -> set (update 1) from " +
                                      from + "\nquery \"ab\" -> set (MARL_MSG_RC_OK) to " + from + "\n" + R"(marld: received 9
marld: accepted 2
marld: updates 1
marld: queries 1
marld: dropped 7
marld: dropped short-datagram 1
marld: dropped unknown-id 1
marld: dropped length-mismatch 1
marld: dropped name-overrun 1
marld: dropped trailing-bytes 1
marld: dropped invalid-name 1
marld: dropped update-too-long 0
marld: dropped invalid-runtime-info 1
marld: dropped store-full 0
marld: dropped out-of-memory 0
marld: receive-errors 0
marld: reply-errors 0
)");
    // Drop lines are rate-limited: those shown and those suppressed add up to
    // the drops (any other line spoils the sum).
    std::size_t accounted = 0;
    std::istringstream errors(marld.stderrText());
    for (std::string line; std::getline(errors, line);) {
        const bool dropLine = line.starts_with("marld: dropped ") && line.find(" bytes from " + from + ": ") != line.npos;
        accounted += line.ends_with(" more lines not shown") ? std::stoul(line.substr(7)) : dropLine ? 1 : 1000;
    }
    EXPECT_EQ(accounted, malformed.size()) << marld.stderrText();
}

TEST(Marld, JsonLinesAreTheDocumentedObjectsAndSigtermEndsThem)
{
    MarldProcess marld({"--json", "--recv-batch", "1024", "--bind", "127.0.0.1"});
    ASSERT_NE(marld.port(), 0) << marld.stderrText();
    UdpPeer client;
    const std::string sender = "\"sender\":\"127.0.0.1:" + std::to_string(client.port()) + "\"";
    const t_threshold_info threshold{const_cast<char*>("a"), {const_cast<char*>("b"), 1.0F, 2.0F}, 0.5F, 16};
    const marl::DynamicInfoView info{&threshold, {"x"}};
    // A name with a quote, a backslash and UTF-8 raised with runtime
    // information; a query of a name with a control byte; a datagram too
    // short for a header.
    client.send(marld.port(), datagramBytes(marl::UpdateDatagram{"\"\\\xc3\xa9!", true, &info}));
    client.send(marld.port(), datagramBytes(marl::QueryDatagram{"a\x01"}));
    client.send(marld.port(), hexBytes("00 8c 00"));
    client.send(marld.port(), kQueryAb);
    ASSERT_TRUE(client.receive(std::chrono::seconds(10)) && client.receive(std::chrono::seconds(10)));
    EXPECT_EQ(marld.wait(std::chrono::milliseconds(1100)), -1) << "still serving after a wake-up with nothing to do";
    ASSERT_EQ(marld.stop(SIGTERM), 0);
    EXPECT_EQ(marld.stdoutText(),
              "{\"event\":\"listening\",\"address\":\"127.0.0.1\",\"port\":" + std::to_string(marld.port()) + "}\n" +
                  "{\"event\":\"update\",\"point\":\"\\\"\\\\\xc3\xa9!\",\"extended\":true,\"old\":\"clear\",\"new\":\"set\",\"updates\":1,"
                  "\"runtimeInfo\":{\"blockBytes\":40,\"attributeId\":\"a\",\"indication\":\"b\",\"low\":1,\"high\":2,\"observedValue\":0.5,"
                  "\"armTime\":16,\"armTimeUtc\":\"1970-01-01T00:00:16Z\",\"monitoredAttributes\":\"x\"}," + sender + "}\n" +
                  "{\"event\":\"query\",\"point\":\"a\\u0001\",\"nameLength\":2,\"state\":\"clear\",\"returnCode\":\"MARL_MSG_RC_INVALID_POINT_ID\"," +
                  sender + "}\n{\"event\":\"query\",\"point\":\"ab\",\"nameLength\":2,\"state\":\"clear\",\"returnCode\":\"MARL_MSG_RC_OK\"," + sender +
                  "}\n{\"event\":\"counters\",\"received\":4,\"accepted\":3,\"updates\":1,\"queries\":2,\"dropped\":1,\"droppedBy\":{"
                  "\"short-datagram\":1,\"unknown-id\":0,\"length-mismatch\":0,\"name-overrun\":0,\"trailing-bytes\":0,\"invalid-name\":0,"
                  "\"update-too-long\":0,\"invalid-runtime-info\":0,\"store-full\":0,\"out-of-memory\":0},\"receiveErrors\":0,\"replyErrors\":0}\n");
    EXPECT_EQ(marld.stderrText(), "{\"event\":\"dropped\",\"reason\":\"short-datagram\",\"id\":null,\"bytes\":3," + sender + "}\n");
}

// A port that stays taken while the tests run.
const UdpPeer kTaken;
const std::string kTakenPort = std::to_string(kTaken.port());

struct CommandRow {
    const char* what;
    std::vector<std::string> arguments;
    int status;
    std::string stdoutStart;
    std::string stderrStart;
};
class CommandLine : public ::testing::TestWithParam<CommandRow> {};

TEST_P(CommandLine, EndsWithThisStatusAndMessage)
{
    if (GetParam().arguments.empty() && getservbyname("marl", "udp") != nullptr) {
        GTEST_SKIP() << "this machine's services database names marl";
    }
    MarldProcess marld(GetParam().arguments, false);
    EXPECT_EQ(marld.port(), 0);
    EXPECT_EQ(marld.wait(), GetParam().status);
    EXPECT_TRUE(marld.stdoutText().starts_with(GetParam().stdoutStart)) << marld.stdoutText();
    EXPECT_TRUE(marld.stderrText().starts_with(GetParam().stderrStart)) << marld.stderrText();
}

INSTANTIATE_TEST_SUITE_P(
    Options, CommandLine,
    ::testing::Values(
        CommandRow{"help", {"--port", "0", "--help"}, 0, "Usage: marld [OPTION]...\n", ""},
        CommandRow{"version", {"--version"}, 0, "marld 1.0.0\n", ""},
        CommandRow{"no_services_entry", {}, 2, "", "marld: the services database has no \"marl\" entry; give the port with --port N\n"},
        CommandRow{"unknown_option", {"--port", "0", "--verbose"}, 2, "", "marld: unknown option --verbose\n"},
        CommandRow{"argument", {"--port=0", "extra"}, 2, "", "marld: unexpected argument extra\n"},
        CommandRow{"flag_with_value", {"--json=yes"}, 2, "", "marld: option --json takes no value\n"},
        CommandRow{"port_too_large", {"--port", "65536"}, 2, "", "marld: invalid value for --port: \"65536\" (a port number from 0 to 65535)\n"},
        CommandRow{"port_missing", {"--port"}, 2, "", "marld: option --port needs a value\n"},
        CommandRow{"port_in_use", {"--port", kTakenPort}, 2, "", "marld: cannot bind to 127.0.0.1:" + kTakenPort + ": Address already in use\n"},
        CommandRow{"bind_not_an_address", {"--port", "0", "--bind", "localhost"}, 2, "", "marld: invalid value for --bind: \"localhost\""},
        CommandRow{"bind_elsewhere", {"--port", "0", "--bind", "192.0.2.1"}, 2, "", "marld: cannot bind to 192.0.2.1:0: "},
        CommandRow{"points_missing", {"--port", "0", "--points", "/nonexistent/points"}, 2, "",
                   "marld: cannot open the points file /nonexistent/points\n"},
        CommandRow{"points_empty_name", {"--points="}, 2, "", "marld: invalid value for --points: \"\" (a file name)\n"},
        CommandRow{"rcvbuf_zero", {"--rcvbuf", "0"}, 2, "", "marld: invalid value for --rcvbuf: \"0\" (a positive number of bytes)\n"},
        CommandRow{"rcvbuf_over_half_int", {"--rcvbuf", "1073741824"}, 2, "", "marld: invalid value for --rcvbuf: \"1073741824\""},
        CommandRow{"max_points_zero", {"--port", "0", "--max-points", "0"}, 2, "", "marld: invalid value for --max-points: \"0\""},
        CommandRow{"recv_batch_zero", {"--recv-batch", "0"}, 2, "", "marld: invalid value for --recv-batch: \"0\""},
        CommandRow{"recv_batch_too_large", {"--port", "0", "--recv-batch", "1025"}, 2, "",
                   "marld: invalid value for --recv-batch: \"1025\" (a number of datagrams from 1 to 1024)\n"}),
    [](const auto& p) { return std::string(p.param.what); });

} // namespace
