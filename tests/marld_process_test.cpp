// marld as a process: it keeps serving whatever it is sent, prints the
// documented lines and counters, stops cleanly on either signal and refuses
// bad command lines. Then marl, and through it the library, against marld
// over loopback, both finding the port through the real services look-up.
#include <gtest/gtest.h>
#include <netdb.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <future>
#include <span>
#include <sstream>
#include <thread>
#include <utility>

#include "child_process.h"
#include "marlclient.h"
#include "test_support.h"

using namespace marltest;
using namespace std::chrono_literals;

TEST(Marld, CountsWhatItDropsKeepsServingAndStopsOnSigint)
{
    MarldProcess marld({"--rcvbuf", "262144", "--recv-batch", "1"});
    UdpPeer client;
    // A raise of ab, then clears of ab that must be dropped, one for each
    // of seven reasons a client can provoke, then a query of ab.
    const Bytes clear = datagramBytes(marl::UpdateDatagram{"ab", false});
    const std::vector<Bytes> sent = {
        datagramBytes(marl::UpdateDatagram{"ab", true}), resized(clear, 8), patched(clear, 0, "00008c02"),
        patched(clear, 4, "0000002f"), patched(clear, 42, "ffffffff"), patched(clear, 42, "00000001"),
        patched(clear, 47, "01"), patched(clear, 2, "8c04"), datagramBytes(marl::QueryDatagram{"ab"})};
    for (const Bytes& bytes : sent) {
        client.send(marld.port(), bytes);
    }
    EXPECT_EQ(client.receive(10s), datagramBytes(marl::ResponseDatagram{"ab", true}));
    EXPECT_EQ(marld.wait(1100ms), -1) << "stopped at a wake-up with nothing to do";
    ASSERT_EQ(marld.stop(SIGINT), 0) << marld.stderrText();
    const std::string from = "127.0.0.1:" + std::to_string(client.port());
    EXPECT_EQ(marld.stdoutText(), "marld: listening on 127.0.0.1:" + std::to_string(marld.port()) +
                                      "\nupdate \"ab\" clear -> set (update 1) from " + from +
                                      "\nquery \"ab\" -> set (MARL_MSG_RC_OK) to " + from +
                                      "\nmarld: received 9\nmarld: accepted 2\nmarld: updates 1\n"
                                      "marld: queries 1\nmarld: dropped 7\nmarld: dropped sender-not-allowed 0\n"
                                      "marld: dropped short-datagram 1\n"
                                      "marld: dropped unknown-id 1\nmarld: dropped length-mismatch 1\n"
                                      "marld: dropped name-overrun 1\nmarld: dropped trailing-bytes 1\n"
                                      "marld: dropped invalid-name 1\nmarld: dropped update-too-long 0\n"
                                      "marld: dropped invalid-runtime-info 1\nmarld: dropped store-full 0\n"
                                      "marld: dropped out-of-memory 0\nmarld: receive-errors 0\n"
                                      "marld: reply-errors 0\nmarld: withheld 0\nmarld: reply-coded 0\n"
                                      "marld: reply-delayed 0\nmarld: reply-delay-overflow 0\n"
                                      "marld: reply-delay-discarded 0\nmarld: alerts-sent 0\nmarld: alerts-failed 0\n"
                                      "marld: alerts-pending 0\n");
    // Drop lines are rate-limited: those shown and those suppressed add up to
    // the drops (any other line spoils the sum), and what a window suppressed
    // is told once, when it is over, never twice in a row.
    std::size_t accounted = 0;
    bool told = false;
    std::istringstream errors(marld.stderrText());
    for (std::string line; std::getline(errors, line);) {
        const bool tells = line.ends_with(" more lines not shown");
        const bool drop = line.starts_with("marld: dropped ") && line.find(" bytes from " + from + ": ") < 30;
        EXPECT_FALSE(std::exchange(told, tells) && tells) << marld.stderrText();
        accounted += tells ? std::stoul(line.substr(7)) : drop ? 1 : 99; // anything else spoils the sum
    }
    EXPECT_EQ(accounted, 7u) << marld.stderrText();
}

// Each run: the arguments, the exit status, the start of stdout and a part of stderr ("": the stream
// stays empty; "=TEXT": it is TEXT and nothing else).
using Runs = std::vector<std::tuple<std::vector<std::string>, int, std::string, std::string>>;

static void expectRuns(const std::vector<std::string>& program, const Runs& runs)
{
    for (auto [command, status, out, err] : runs) {
        command.insert(command.begin(), program.begin(), program.end());
        ChildProcess child(command);
        EXPECT_EQ(child.wait(30s), status) << command.back();
        EXPECT_EQ(out.empty() ? child.stdoutText() : child.stdoutText().substr(0, out.size()), out);
        const std::string errors = child.stderrText();
        if (err.starts_with('=')) {
            EXPECT_EQ(errors, err.substr(1));
        } else {
            EXPECT_TRUE(err.empty() ? errors.empty() : errors.find(err) != std::string::npos) << errors;
        }
    }
}

// Each bound as an exact fit that passes (every value is checked, the last one counts) beside one
// past it that fails.
TEST(Marld, TakesItsOptionsAndRefusesBadOnesWithStatus2)
{
    const std::string invalid = "marld: invalid value for ";
    const std::string comments = marltest::testDirectory() + "marld-comments"; // a points file without names
    std::ofstream(comments) << "# none yet\n\n";
    expectRuns({MARLD_COMMAND}, {
        {{"-h"}, 0, "Usage: marld [OPTION]...\n", ""},
        {{"--port", "0", "--port", "65535", "--rcvbuf", "1", "--rcvbuf", "1073741823", "--max", "1",
          "--recv-batch", "1", "--recv-batch", "1024", "--allow", "0.0.0.0/0", "--allow", "::1/128", "-V"}, 0,
         "marld 1.0.0\n", ""},
        {{"--verbose"}, 2, "", "marld: unknown or ambiguous option --verbose\nTry 'marld --help'"},
        {{"--r", "1"}, 2, "", "marld: unknown or ambiguous option --r\n"},
        {{"--port=0", "--", "extra"}, 2, "", "marld: unexpected argument extra\n"},
        {{"--json=yes"}, 2, "", "marld: option --json takes no value\n"},
        {{"--port", "65536"}, 2, "", invalid + "--port: \"65536\" (a port number from 0 to 65535)\n"},
        {{"--port"}, 2, "", "marld: option --port needs a value\n"},
        {{"--bind", "localhost"}, 2, "", invalid + "--bind: \"localhost\" (an IPv4 or IPv6 address)\n"},
        {{"--port", "0", "--bind", "192.0.2.1"}, 2, "", "marld: cannot bind to 192.0.2.1:0: "},
        {{"--points", "/nonexistent"}, 2, "", "the points file /nonexistent: No such file or directory\n"},
        {{"--port", "0", "--points", "/"}, 2, "", "marld: /: cannot read it: Is a directory\n"},
        {{"--port", "0", "--points", comments}, 2, "", ": no point names in it"},
        {{"--points="}, 2, "", invalid + "--points: \"\" (a file name)\n"},
        {{"--rcvbuf", "0"}, 2, "", invalid + "--rcvbuf: \"0\" (a number of bytes from 1 to 1073741823)\n"},
        {{"--rcvbuf", "1073741824"}, 2, "", invalid + "--rcvbuf: \"1073741824\""},
        {{"--max-points", "0"}, 2, "", invalid + "--max-points: \"0\" (a number of points from 1 to "}, // SIZE_MAX
        {{"--recv-batch", "0"}, 2, "", invalid + "--recv-batch: \"0\""},
        {{"--recv-batch", "1025"}, 2, "", invalid + "--recv-batch: \"1025\" (a number of datagrams"},
        {{"--drop-updates", "nan"}, 2, "", invalid + "--drop-updates: \"nan\" (a fraction from 0 to 1)\n"},
        {{"--reply-code", "4294967296"}, 2, "", invalid + "--reply-code: \"4294967296\" (a return code"},
        {{"--allow", "10.0.0.0/33"}, 2, "", invalid + "--allow: \"10.0.0.0/33\" (an IPv4 or IPv6 network, as "},
        {{"--allow", "::1/129"}, 2, "", invalid + "--allow: \"::1/129\""},
        {{"--allow", "10.0.0.0/"}, 2, "", invalid + "--allow: \"10.0.0.0/\""},
        {{"--allow", "10.0.0/8"}, 2, "", invalid + "--allow: \"10.0.0/8\""}});
    if (getservbyname("marl", "udp") == nullptr) {
        expectRuns({MARLD_COMMAND}, {{{}, 2, "", "marld: the services database has no \"marl\" entry; give"}});
    }
    // Refused before the listening line, after the socket: with CAP_NET_ADMIN, the receive buffer asked
    // for and nothing said of it; without it, capped at net.core.rmem_max, and said.
    const std::vector<std::string> unknownHost = {"--port", "0", "--alertmanager", "http://no-such-host.invalid:9093"};
    const std::string refused = "marld: --alertmanager: cannot find the host of http://no-such-host.invalid:9093\n";
    std::vector<std::string> probe = {MARLD_COMMAND};
    probe.insert(probe.end(), unknownHost.begin(), unknownHost.end());
    ChildProcess alerts(probe);
    (void)alerts.wait(30s);
    if (geteuid() == 0 && alerts.stderrText().find("built without libcurl") == std::string::npos) {
        expectRuns({MARLD_COMMAND}, {{unknownHost, 2, "", "=" + refused}});
        expectRuns({"setpriv", "--bounding-set=-net_admin", MARLD_COMMAND},
                   {{unknownHost, 2, "", " bytes, not the 8388608 asked for: a storm of updates may be lost; raise "
                                         "net.core.rmem_max (now "}});
    }
}

// Senders from 127.0.0.1, 127.0.0.2 and ::1 (where IPv6 is up) query a marld that listens on both
// families, under each allow list: each is answered, or dropped as sender-not-allowed and counted.
TEST(Marld, AnswersOnlyTheSendersItIsToldToAllow)
{
    const bool ipv6 = [] {
        try {
            return UdpPeer(0, 0, "::1").port() != 0;
        } catch (const std::runtime_error&) {
            return false;
        }
    }();
    const std::vector<std::string> senders = {"127.0.0.1", "127.0.0.2", "::1"};
    for (auto [allow, answered] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{}, "+++"}, {{"127.0.0.1"}, "+--"}, {{"127.0.0.0/8"}, "++-"}, {{"::1"}, "--+"},
             {{"127.0.0.0/31", "::1/128"}, "+-+"}, {{"127.0.0.2/32", "::/0"}, "-++"}}) {
        answered.resize(ipv6 ? 3 : 2);
        std::vector<std::string> arguments = {"--bind", ipv6 ? "::" : "127.0.0.1"};
        for (const std::string& network : allow) {
            arguments.insert(arguments.end(), {"--allow", network});
        }
        MarldProcess marld(arguments);
        ASSERT_NE(marld.port(), 0) << marld.stderrText();
        std::string got;
        for (const std::string& address : std::span(senders).first(answered.size())) {
            UdpPeer peer(0, 0, address);
            ASSERT_TRUE(peer.send(marld.port(), datagramBytes(marl::QueryDatagram{"ab"})));
            got += peer.receive(answered[got.size()] == '+' ? 10s : 200ms) ? "+" : "-";
        }
        ASSERT_EQ(marld.stop(), 0);
        const auto dropped = static_cast<std::uint64_t>(std::ranges::count(answered, '-'));
        EXPECT_EQ(std::tuple(got, marldCounter(marld.stdoutText(), "dropped sender-not-allowed"),
                             marldCounter(marld.stdoutText(), "queries")),
                  std::tuple(answered, std::optional(dropped), std::optional(answered.size() - dropped))) << allow.size();
        EXPECT_EQ(marld.stderrText().find(" bytes from 127.0.0.2:") != std::string::npos, answered[1] == '-');
    }
}

// marl refuses a bad command line before it sends anything: one line that
// names the fault, then a pointer to --help, status 2. An update's size is
// bounded by its longest argument at the datagram limit; EndToEnd sends the
// exact fits.
TEST(Marl, RefusesBadCommandLinesWithStatus2)
{
    const std::string tryHelp = "\nTry 'marl --help' for more information.\n";
    const std::string over = "marl: the update would be 647 bytes, over the datagram limit of 646; shorten ";
    expectRuns({MARL_COMMAND}, {
        {{"raise"}, 2, "", "=marl: expected a command and a point name" + tryHelp},
        {{"raise", "ab", "cd"}, 2, "", "=marl: extra operand 'cd'" + tryHelp},
        {{"clear", ""}, 2, "", "=marl: the point name is empty" + tryHelp},
        {{"--te", "x", "raise", "ab"}, 2, "", "marl: option '--te' is ambiguous; possibilities: --text1 --text2\n"},
        {{"--text3=x", "raise", "ab"}, 2, "", "marl: unknown option '--text3=x'\n"},
        {{"-x", "raise", "ab"}, 2, "", "marl: unknown option '-x'\n"},
        {{"--low", " 1", "raise", "ab"}, 2, "", "marl: invalid value ' 1' for --low\n"},
        {{"--arm-time", "2147483648", "raise", "ab"}, 2, "", "invalid value '2147483648' for --arm-time"},
        {{"--text2", "x", "query", "ab"}, 2, "", "runtime options go with raise and clear, not 'query'"},
        {{"lower", "ab"}, 2, "", "marl: unknown command 'lower'\n"},
        {{"raise", std::string(601, 'n')}, 2, "", "=" + over + "the point name (601 bytes)" + tryHelp},
        {{"--monitored", std::string(584, 'm'), "raise", "ab"}, 2, "", over + "--monitored (584 bytes)\n"},
        {{"--indication", std::string(563, 'i'), "--text1", "", "raise", "ab"}, 2, "", over + "--indication (563"}});
    if (getservbyname("marl", nullptr) == nullptr) {
        expectRuns({MARL_COMMAND}, {{{"query", "ab"}, 1, "", "=marl: the services database has no \"marl\" entry: "
                                      "add the point service's UDP port to /etc/services, e.g. \"marl 41717/udp\"\n"}});
    }
}

// Run by ctest in private namespaces whose services file names "marl"
// (scripts/with-services.sh), where marld binds the port of that entry and
// prints JSON. marl's exit statuses and output: 0 and set/clear, 1 when the
// library reports a failure (its line on stderr), 2 for a usage error (one
// line and a pointer to --help), 3 for a query that gets no reply.
TEST(EndToEnd, MarlRaisesQueriesAndClearsThroughMarld)
{
    if (getservbyname("marl", nullptr) == nullptr) {
        GTEST_SKIP() << "no \"marl\" services entry: run through ctest, as root (scripts/with-services.sh)";
    }
    const std::string points = marltest::testDirectory() + "marl-points";
    std::ofstream(points) << "ab\n";
    MarldProcess marld({"--points", points, "--json"}, /*kernelPort=*/false);
    ASSERT_NE(marld.port(), 0) << marld.stderrText();
    expectRuns({MARL_COMMAND}, {
        {{"raise", "ab"}, 0, "", ""},
        {{"query", "--", "ab"}, 0, "set\n", ""},
        {{"raise", "ab", "--text1", "t"}, 0, "", ""}, // the library's informational lines only with -v
        {{"--monitored", "x", "--arm-time", "-5", "--indication", "hi", "clear", "ab", "--observed", "2",
          "--low", "1.5", "-v"}, 0, "", "] update_marl_point_ext: update the marl point with runtime info\n"},
        {{"query", "ab"}, 0, "clear\n", ""},
        {{"query", "zz"}, 1, "", "] read_marl_point invalid point zz\n"},
        {{"clear", std::string(600, 'n')}, 0, "", ""}, // exact fits of the datagram limit
        {{"--monitored", std::string(583, 'm'), "raise", "ab"}, 0, "", ""},
        {{"--indication", std::string(562, 'i'), "--text1", "", "raise", "ab"}, 0, "", ""}});
    ASSERT_EQ(marld.stop(), 0);
    const std::string port = std::to_string(marld.port());
    expectRuns({MARL_COMMAND}, {{{"query", "ab"}, 3, "", "=marl: no reply from 127.0.0.1:" + port + " within 10 seconds: "
                                  "start the point service there, or correct the central node's address or the \"marl\" "
                                  "services entry\n"}});
    const std::string out = marld.stdoutText();
    for (const std::string& part : {R"({"event":"listening","address":"127.0.0.1","port":)" + port + "}\n",
                                    std::string(R"("indication":"hi","low":1.5,"high":0,"observedValue":2,)"),
                                    std::string(R"({"event":"counters","received":9,"accepted":8,)"),
                                    std::string(R"("droppedBy":{"sender-not-allowed":0,"short-datagram":0,)")}) {
        EXPECT_NE(out.find(part), std::string::npos) << part << " in " << out;
    }
}

static std::string fileText(const std::string& path)
{
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// What marld was told survives SIGTERM, and kill -9 once the 100 ms in which it writes are over; a file
// marld cannot use is refused with exit status 2 and left as it was.
TEST(Marld, KeepsItsStateAcrossRestartsInItsStateFile)
{
    const std::string file = marltest::testDirectory() + "marld-state.db";
    std::remove(file.c_str());
    UdpPeer client;
    // Each run: the updates sent (name, set), the signal that ends it, and the end of its last update line.
    const std::vector<std::tuple<std::vector<std::pair<std::string, bool>>, int, std::string>> runs = {
        {{{"ab", true}, {"cd", true}, {"cd", false}}, SIGTERM, "\"cd\" set -> clear (update 2) from "},
        {{{"ab", false}, {"cd", false}}, SIGKILL, "\"cd\" clear -> clear (update 3) from "},
        {{{"ab", true}}, SIGTERM, "\"ab\" clear -> set (update 3) from "}};
    for (const auto& [updates, signal, line] : runs) {
        MarldProcess marld({"--state", file});
        if (marld.stderrText().find("built without SQLite") != std::string::npos) {
            GTEST_SKIP() << marld.stderrText();
        }
        ASSERT_NE(marld.port(), 0) << marld.stderrText();
        for (const auto& [name, set] : updates) {
            client.send(marld.port(), datagramBytes(marl::UpdateDatagram{name, set}));
        }
        client.send(marld.port(), datagramBytes(marl::QueryDatagram{"ab"}));
        EXPECT_EQ(client.receive(), datagramBytes(marl::ResponseDatagram{"ab", updates[0].second}));
        expectRuns({MARLD_COMMAND}, {{{"--port", "0", "--state", file}, 2, "", " is in use by another marld\n"}});
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(marld.stop(signal), signal == SIGKILL ? 128 + SIGKILL : 0);
        EXPECT_NE(marld.stdoutText().find(line), std::string::npos) << marld.stdoutText();
    }
    // Copies of the file, each spoilt in one way.
    const std::string text = fileText(file);
    const Bytes kept(text.begin(), text.end());
    const std::vector<std::tuple<std::string, Bytes, std::string>> spoilt = {
        {"text", {'h', 'i', '\n'}, " is not a marld state file\n"},
        {"another-application", patched(kept, 68, "00000001"), " is not a marld state file\n"},
        {"newer-schema", patched(kept, 60, "00000004"), " was written by a newer marld (schema 4;"},
        {"header-cut", Bytes(kept.begin(), kept.begin() + 99), " is damaged (its database header is cut short)\n"},
        {"table-overwritten", patched(kept, 4096, std::string(200, 'f')), " is damaged ("}};
    for (const auto& [name, bytes, error] : spoilt) {
        const std::string copy = file + "." + name;
        std::ofstream(copy, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        expectRuns({MARLD_COMMAND}, {{{"--port", "0", "--state", copy}, 2, "", copy + error}});
        EXPECT_EQ(fileText(copy), std::string(bytes.begin(), bytes.end())) << name;
    }
}

// The test aids through the library. Each row: marld's options; what a query of ab returns after 20
// raises of it (-1: it fails), its least delay, and the counters withheld, reply-coded,
// reply-delayed and updates (a raise of cd, after the query, is the 21st). A seed withholds the same
// updates on every machine; code 1 is a refusal, others carry the state; a late reply holds nothing up.
TEST(EndToEnd, TestAidsWithholdUpdatesAndAnswerWithTheGivenCodeLate)
{
    if (getservbyname("marl", nullptr) == nullptr) {
        GTEST_SKIP() << "no \"marl\" services entry: run through ctest, as root (scripts/with-services.sh)";
    }
    using Row = std::tuple<std::vector<std::string>, int, int, std::vector<std::optional<std::uint64_t>>>;
    for (const auto& [options, value, delayMs, counted] : std::vector<Row>{
             {{"--drop-updates", "0", "--reply-code", "4294967295"}, 1, 0, {0, 1, 0, 21}},
             {{"--drop-updates", "1"}, 0, 0, {21, 0, 0, 0}}, // ab never reached the store
             {{"--drop-updates", "0.5", "--seed", "7"}, 1, 0, {10, 0, 0, 11}},
             {{"--drop-updates=0.5", "--seed=7"}, 1, 0, {10, 0, 0, 11}},
             {{"--drop-updates", "0.5"}, 1, 0, {8, 0, 0, 13}}, // seed 1
             {{"--reply-code", "1"}, -1, 0, {0, 1, 0, 21}},
             {{"--reply-delay", "800"}, 1, 800, {0, 0, 1, 21}}}) {
        MarldProcess marld(options, /*kernelPort=*/false);
        const auto shows = [&marld](const std::string& text) {
            for (int i = 0; i < 1000 && marld.stdoutText().find(text) == std::string::npos; ++i) {
                std::this_thread::sleep_for(5ms);
            }
            return marld.stdoutText().find(text) != std::string::npos;
        };
        for (int i = 0; i < 20; ++i) {
            EXPECT_TRUE(update_marl_point("ab", 1));
        }
        const auto start = std::chrono::steady_clock::now();
        auto read = std::async(std::launch::async, [got = std::uint8_t{}]() mutable {
            return read_marl_point("ab", &got) ? int(got) : -1;
        });
        EXPECT_TRUE(shows("query \"ab\"") && update_marl_point("cd", 1) && shows(" \"cd\" ")) << options[0];
        EXPECT_TRUE(delayMs == 0 || read.wait_for(0s) == std::future_status::timeout) << "cd waited for the reply";
        EXPECT_EQ(read.get(), value) << options[0];
        EXPECT_GE(std::chrono::steady_clock::now() - start, delayMs * 1ms);
        ASSERT_EQ(marld.stop(), 0);
        const std::string out = marld.stdoutText();
        EXPECT_EQ(std::vector({marldCounter(out, "withheld"), marldCounter(out, "reply-coded"),
                               marldCounter(out, "reply-delayed"), marldCounter(out, "updates")}), counted);
    }
}
