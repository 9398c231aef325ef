// marld as a process: it keeps serving and keeps its state whatever it is
// sent, counts what it drops, prints the documented lines, stops cleanly on a
// signal and refuses bad command lines.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <sys/socket.h>

#include <csignal>
#include <regex>
#include <string>
#include <vector>

#include "marld_process.h"
#include "test_support.h"

using marltest::hexBytes;
using marltest::MarldProcess;
using Bytes = std::vector<std::uint8_t>;

namespace {

const std::string kRestOfHeader(64, '0');

// A point service's client: sends from its own loopback port, reads replies.
class Client {
public:
    explicit Client(std::uint16_t servicePort) : servicePort_(servicePort) {}

    void send(const Bytes& bytes)
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(servicePort_);
        ASSERT_EQ(sendto(socket_.fd(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(bytes.size()));
    }

    std::optional<Bytes> receive() { return socket_.receive(10000); }
    std::string address() const { return "127.0.0.1:" + std::to_string(socket_.port()); }

private:
    std::uint16_t servicePort_;
    marltest::UdpReceiver socket_;
};

const Bytes kRaiseAb = hexBytes("00008c00 00000030" + kRestOfHeader + "01 00 00000002 6162");
const Bytes kQueryAb = hexBytes("00008c01 0000002e" + kRestOfHeader + "00000002 6162");
const Bytes kAbIsSet = hexBytes("00008c02 00000033" + kRestOfHeader + "01 00000000 00000002 6162");

// Clears of ab that the service must drop, one for each reason that a
// client can provoke, with the reason's name.
const std::vector<std::pair<const char*, Bytes>> kMalformed = {
    {"short-datagram", hexBytes("00008c00 00000030")},
    {"unknown-id", hexBytes("00008c02 00000033" + kRestOfHeader + "00 00000000 00000002 6162")},
    {"length-mismatch", hexBytes("00008c00 0000002f" + kRestOfHeader + "00 00 00000002 6162")},
    {"name-overrun", hexBytes("00008c00 00000030" + kRestOfHeader + "00 00 ffffffff 6162")},
    {"trailing-bytes", hexBytes("00008c00 00000030" + kRestOfHeader + "00 00 00000001 6162")},
    {"invalid-name", hexBytes("00008c00 00000030" + kRestOfHeader + "00 00 00000002 6101")},
    {"invalid-runtime-info", hexBytes("00008c04 00000030" + kRestOfHeader + "00 00 00000002 6162")},
};

// The counters that marld prints on exit, as text lines.
std::string textCounters(int received, int updates, int queries, const std::vector<const char*>& droppedOnce)
{
    const char* reasons[] = {"short-datagram", "unknown-id",      "length-mismatch",      "name-overrun", "trailing-bytes",
                             "invalid-name",   "update-too-long", "invalid-runtime-info", "store-full"};
    std::string text = "marld: received " + std::to_string(received) + "\nmarld: accepted " +
                       std::to_string(updates + queries) + "\nmarld: updates " + std::to_string(updates) +
                       "\nmarld: queries " + std::to_string(queries) + "\nmarld: dropped " +
                       std::to_string(droppedOnce.size()) + "\n";
    for (const char* reason : reasons) {
        const bool once = std::find(droppedOnce.begin(), droppedOnce.end(), std::string_view(reason)) != droppedOnce.end();
        text += "marld: dropped " + std::string(reason) + (once ? " 1\n" : " 0\n");
    }
    return text + "marld: receive-errors 0\nmarld: reply-errors 0\n";
}

TEST(MarldProcess, MalformedDatagramsAreCountedAndChangeNothing)
{
    MarldProcess marld;
    ASSERT_NE(marld.port(), 0) << marld.stderrText();
    Client client(marld.port());
    client.send(kRaiseAb);
    std::vector<const char*> reasons;
    for (const auto& [reason, bytes] : kMalformed) {
        client.send(bytes);
        reasons.push_back(reason);
    }
    client.send(kQueryAb);
    EXPECT_EQ(client.receive(), kAbIsSet) << "the service still runs and ab is still set";

    ASSERT_EQ(marld.stop(), 0) << marld.stderrText();
    const int received = 2 + static_cast<int>(kMalformed.size());
    EXPECT_EQ(marld.stdoutText(), "marld: listening on 127.0.0.1:" + std::to_string(marld.port()) + "\n" +
                                      "update \"ab\" clear -> set (update 1) from " + client.address() + "\n" +
                                      "query \"ab\" -> set (MARL_MSG_RC_OK) to " + client.address() + "\n" +
                                      textCounters(received, 1, 1, reasons));
    // Drop lines are rate-limited: shown and suppressed add up to the drops.
    const std::string errors = marld.stderrText();
    const std::regex dropLine("marld: dropped [0-9]+ bytes from " + client.address() + ": ([a-z-]+)( \\(id 0x[0-9a-f]{4}\\))?\n");
    const std::regex suppressedLine("marld: ([0-9]+) more drops not shown\n");
    std::size_t accounted = 0;
    for (auto line = std::sregex_iterator(errors.begin(), errors.end(), dropLine); line != std::sregex_iterator(); ++line) {
        EXPECT_EQ((*line)[1], kMalformed[accounted].first);
        ++accounted;
    }
    for (auto line = std::sregex_iterator(errors.begin(), errors.end(), suppressedLine); line != std::sregex_iterator();
         ++line) {
        accounted += std::stoul((*line)[1]);
    }
    EXPECT_EQ(accounted, kMalformed.size()) << errors;
}

class MarldStopSignal : public ::testing::TestWithParam<int> {};

TEST_P(MarldStopSignal, ExitsZeroAfterPrintingItsCounters)
{
    MarldProcess marld;
    ASSERT_NE(marld.port(), 0) << marld.stderrText();
    EXPECT_EQ(marld.stop(GetParam()), 0);
    EXPECT_EQ(marld.stdoutText(),
              "marld: listening on 127.0.0.1:" + std::to_string(marld.port()) + "\n" + textCounters(0, 0, 0, {}));
    EXPECT_EQ(marld.stderrText(), "");
}

INSTANTIATE_TEST_SUITE_P(Signals, MarldStopSignal, ::testing::Values(SIGTERM, SIGINT),
                         [](const auto& param) { return param.param == SIGTERM ? "SIGTERM" : "SIGINT"; });

TEST(MarldProcess, JsonLinesAreTheDocumentedObjects)
{
    MarldProcess marld({"--json"});
    ASSERT_NE(marld.port(), 0) << marld.stderrText();
    Client client(marld.port());
    const std::string sender = "\"sender\":\"" + client.address() + "\"";
    // A name with a quote, a backslash and UTF-8, raised by an extended
    // update; a query of a name with a control byte; a datagram too short
    // for a header.
    client.send(hexBytes("00008c04 00000041" + kRestOfHeader + "01 00 00000005 22 5c c3a9 21" +
                         "0000 0000 0000 0000 0000 0000 0000"));
    client.send(hexBytes("00008c01 0000002e" + kRestOfHeader + "00000002 6101"));
    ASSERT_TRUE(client.receive().has_value());
    client.send(hexBytes("00 8c 00"));
    client.send(kQueryAb);
    ASSERT_TRUE(client.receive().has_value()) << "the last datagram was handled";

    ASSERT_EQ(marld.stop(), 0);
    EXPECT_EQ(marld.stdoutText(),
              "{\"event\":\"listening\",\"address\":\"127.0.0.1\",\"port\":" + std::to_string(marld.port()) + "}\n" +
                  "{\"event\":\"update\",\"point\":\"\\\"\\\\\xc3\xa9!\",\"extended\":true,\"old\":\"clear\","
                  "\"new\":\"set\",\"updates\":1,\"runtimeInfoBytes\":14," + sender + "}\n" +
                  "{\"event\":\"query\",\"point\":\"a\\u0001\",\"nameLength\":2,\"state\":\"clear\","
                  "\"returnCode\":\"MARL_MSG_RC_INVALID_POINT_ID\"," + sender + "}\n" +
                  "{\"event\":\"query\",\"point\":\"ab\",\"nameLength\":2,\"state\":\"clear\","
                  "\"returnCode\":\"MARL_MSG_RC_OK\"," + sender + "}\n" +
                  "{\"event\":\"counters\",\"received\":4,\"accepted\":3,\"updates\":1,\"queries\":2,\"dropped\":1,"
                  "\"droppedBy\":{\"short-datagram\":1,\"unknown-id\":0,\"length-mismatch\":0,\"name-overrun\":0,"
                  "\"trailing-bytes\":0,\"invalid-name\":0,\"update-too-long\":0,\"invalid-runtime-info\":0,"
                  "\"store-full\":0},\"receiveErrors\":0,\"replyErrors\":0}\n");
    EXPECT_EQ(marld.stderrText(),
              "{\"event\":\"dropped\",\"reason\":\"short-datagram\",\"id\":null,\"bytes\":3," + sender + "}\n");
}

// ---- Command lines that end marld at once.

struct CommandCase {
    const char* what;
    std::vector<std::string> arguments;
    int status;
    const char* stdoutStart;
    const char* stderrStart;
};

class MarldCommandLine : public ::testing::TestWithParam<CommandCase> {};

TEST_P(MarldCommandLine, EndsWithThisStatusAndMessage)
{
    MarldProcess marld(GetParam().arguments, false);
    EXPECT_EQ(marld.port(), 0);
    EXPECT_EQ(marld.wait(), GetParam().status);
    EXPECT_EQ(marld.stdoutText().rfind(GetParam().stdoutStart, 0), 0u) << marld.stdoutText();
    EXPECT_EQ(marld.stderrText().rfind(GetParam().stderrStart, 0), 0u) << marld.stderrText();
}

INSTANTIATE_TEST_SUITE_P(
    Options, MarldCommandLine,
    ::testing::Values(
        CommandCase{"help", {"--port", "0", "--help"}, 0, "Usage: marld [OPTION]...\n", ""},
        CommandCase{"version", {"--version"}, 0, "marld 1.0.0\n", ""},
        CommandCase{"unknown_option", {"--port", "0", "--verbose"}, 2, "", "marld: unknown option --verbose\n"},
        CommandCase{"stray_argument", {"--port", "0", "ab"}, 2, "", "marld: unexpected argument ab\n"},
        CommandCase{"port_too_large", {"--port", "65536"}, 2, "", "marld: invalid value for --port: \"65536\""},
        CommandCase{"port_negative", {"--port=-1"}, 2, "", "marld: invalid value for --port: \"-1\""},
        CommandCase{"port_missing", {"--port"}, 2, "", "marld: option --port needs a value\n"},
        CommandCase{"bind_not_an_address", {"--port", "0", "--bind", "localhost"}, 2, "",
                    "marld: invalid value for --bind: \"localhost\""},
        CommandCase{"bind_elsewhere", {"--port", "0", "--bind", "192.0.2.1"}, 2, "",
                    "marld: cannot bind to 192.0.2.1:0: "},
        CommandCase{"rcvbuf_zero", {"--port", "0", "--rcvbuf", "0"}, 2, "", "marld: invalid value for --rcvbuf: \"0\""},
        CommandCase{"json_with_value", {"--port", "0", "--json=1"}, 2, "", "marld: option --json takes no value\n"},
        CommandCase{"points_missing", {"--port", "0", "--points", "/nonexistent/points"}, 2, "",
                    "marld: cannot open the points file /nonexistent/points\n"}),
    [](const auto& param) { return std::string(param.param.what); });

TEST(MarldProcess, APortInUseCannotBeBound)
{
    MarldProcess first;
    ASSERT_NE(first.port(), 0);
    const std::string port = std::to_string(first.port());
    MarldProcess second({"--port", port}, false);
    EXPECT_EQ(second.wait(), 2);
    EXPECT_EQ(second.stderrText(), "marld: cannot bind to 127.0.0.1:" + port + ": Address already in use\n");
    EXPECT_EQ(first.stop(), 0);
}

TEST(MarldProcess, ListensWhereItIsToldWithTheReceiveBufferItIsGiven)
{
    MarldProcess marld({"--bind", "127.0.0.2", "--rcvbuf", "262144"});
    ASSERT_NE(marld.port(), 0) << marld.stderrText();
    EXPECT_EQ(marld.stdoutText(), "marld: listening on 127.0.0.2:" + std::to_string(marld.port()) + "\n");
    EXPECT_EQ(marld.stop(), 0);
}

} // namespace
