// marld as a process: it keeps serving and keeps its state whatever it is
// sent, counts what it drops, prints the documented lines, stops cleanly on a
// signal and refuses bad command lines.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <sys/socket.h>

#include <csignal>
#include <sstream>
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

// Clears of ab that the service must drop, one for each reason a client can
// provoke, in the order of the counters below.
const std::vector<Bytes> kMalformed = {
    hexBytes("00008c00 00000030"),
    hexBytes("00008c02 00000033" + kRestOfHeader + "00 00000000 00000002 6162"),
    hexBytes("00008c00 0000002f" + kRestOfHeader + "00 00 00000002 6162"),
    hexBytes("00008c00 00000030" + kRestOfHeader + "00 00 ffffffff 6162"),
    hexBytes("00008c00 00000030" + kRestOfHeader + "00 00 00000001 6162"),
    hexBytes("00008c00 00000030" + kRestOfHeader + "00 00 00000002 6101"),
    hexBytes("00008c04 00000030" + kRestOfHeader + "00 00 00000002 6162"),
};

TEST(MarldProcess, MalformedDatagramsAreCountedAndChangeNothing)
{
    MarldProcess marld({"--rcvbuf", "262144"});
    ASSERT_NE(marld.port(), 0) << marld.stderrText();
    Client client(marld.port());
    client.send(kRaiseAb);
    for (const Bytes& bytes : kMalformed) {
        client.send(bytes);
    }
    client.send(kQueryAb);
    EXPECT_EQ(client.receive(), kAbIsSet) << "the service still runs and ab is still set";

    ASSERT_EQ(marld.stop(), 0) << marld.stderrText();
    EXPECT_EQ(marld.stdoutText(), "marld: listening on 127.0.0.1:" + std::to_string(marld.port()) + "\n" +
                                      "update \"ab\" clear -> set (update 1) from " + client.address() + "\n" +
                                      "query \"ab\" -> set (MARL_MSG_RC_OK) to " + client.address() + "\n" +
                                      R"(marld: received 9
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
    // Drop lines are rate-limited: shown and suppressed add up to the drops.
    std::size_t accounted = 0;
    std::istringstream errors(marld.stderrText());
    for (std::string line; std::getline(errors, line);) {
        if (line.starts_with("marld: dropped ") && line.find(" bytes from " + client.address() + ": ") != std::string::npos) {
            ++accounted;
        } else if (line.starts_with("marld: ") && line.ends_with(" more lines not shown")) {
            accounted += std::stoul(line.substr(7));
        } else {
            ADD_FAILURE() << "unexpected line on stderr: " << line;
        }
    }
    EXPECT_EQ(accounted, kMalformed.size()) << marld.stderrText();
}

class MarldStopSignal : public ::testing::TestWithParam<int> {};

TEST_P(MarldStopSignal, ExitsZeroAfterPrintingItsCounters)
{
    MarldProcess marld;
    ASSERT_NE(marld.port(), 0) << marld.stderrText();
    EXPECT_EQ(marld.stop(GetParam()), 0);
    EXPECT_TRUE(marld.stdoutText().starts_with("marld: listening on 127.0.0.1:" + std::to_string(marld.port()) +
                                               "\nmarld: received 0\n"))
        << marld.stdoutText();
    EXPECT_TRUE(marld.stdoutText().ends_with("marld: reply-errors 0\n")) << "all counters were printed";
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
    client.send(hexBytes("00008c04 0000005b" + kRestOfHeader + "01 00 00000005 22 5c c3a9 21" +
                         "0016 0001 61 00 0001 62 00 3f800000 40000000 3f000000 00000010 0001 78 00" +
                         "0000 0000 0000 0000 0000"));
    client.send(hexBytes("00008c01 0000002e" + kRestOfHeader + "00000002 6101"));
    ASSERT_TRUE(client.receive().has_value());
    client.send(hexBytes("00 8c 00"));
    client.send(kQueryAb);
    ASSERT_TRUE(client.receive().has_value()) << "the last datagram was handled";

    ASSERT_EQ(marld.stop(), 0);
    EXPECT_EQ(marld.stdoutText(),
              "{\"event\":\"listening\",\"address\":\"127.0.0.1\",\"port\":" + std::to_string(marld.port()) + "}\n" +
                  "{\"event\":\"update\",\"point\":\"\\\"\\\\\xc3\xa9!\",\"extended\":true,\"old\":\"clear\","
                  "\"new\":\"set\",\"updates\":1,\"runtimeInfo\":{\"blockBytes\":40,\"attributeId\":\"a\","
                  "\"indication\":\"b\",\"low\":1,\"high\":2,\"observedValue\":0.5,\"armTime\":16,"
                  "\"armTimeUtc\":\"1970-01-01T00:00:16Z\",\"monitoredAttributes\":\"x\"}," + sender + "}\n" +
                  "{\"event\":\"query\",\"point\":\"a\\u0001\",\"nameLength\":2,\"state\":\"clear\","
                  "\"returnCode\":\"MARL_MSG_RC_INVALID_POINT_ID\"," + sender + "}\n" +
                  "{\"event\":\"query\",\"point\":\"ab\",\"nameLength\":2,\"state\":\"clear\","
                  "\"returnCode\":\"MARL_MSG_RC_OK\"," + sender + "}\n" +
                  "{\"event\":\"counters\",\"received\":4,\"accepted\":3,\"updates\":1,\"queries\":2,\"dropped\":1,"
                  "\"droppedBy\":{\"short-datagram\":1,\"unknown-id\":0,\"length-mismatch\":0,\"name-overrun\":0,"
                  "\"trailing-bytes\":0,\"invalid-name\":0,\"update-too-long\":0,\"invalid-runtime-info\":0,"
                  "\"store-full\":0,\"out-of-memory\":0},\"receiveErrors\":0,\"replyErrors\":0}\n");
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
        CommandCase{"port_too_large", {"--port", "65536"}, 2, "", "marld: invalid value for --port: \"65536\""},
        CommandCase{"port_missing", {"--port"}, 2, "", "marld: option --port needs a value\n"},
        CommandCase{"bind_not_an_address", {"--port", "0", "--bind", "localhost"}, 2, "",
                    "marld: invalid value for --bind: \"localhost\""},
        CommandCase{"bind_elsewhere", {"--port", "0", "--bind", "192.0.2.1"}, 2, "",
                    "marld: cannot bind to 192.0.2.1:0: "},
        CommandCase{"points_missing", {"--port", "0", "--points", "/nonexistent/points"}, 2, "",
                    "marld: cannot open the points file /nonexistent/points\n"},
        CommandCase{"max_points_zero", {"--port", "0", "--max-points", "0"}, 2, "",
                    "marld: invalid value for --max-points: \"0\""},
        CommandCase{"recv_batch_too_large", {"--port", "0", "--recv-batch", "1025"}, 2, "",
                    "marld: invalid value for --recv-batch: \"1025\""}),
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

} // namespace
