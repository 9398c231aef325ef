// The client's operations against a scripted service, one row per call: its
// result, every datagram byte for byte, every refusal and failure with its
// exact log line. The library's socket lives as long as the process, so each
// row runs in a process of its own (CTest does so).
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <functional>
#include <future>
#include <sstream>

#include "cmnHal.h"
#include "marlclient.h"
#include "platform_interposer.h"
#include "test_support.h"

using namespace marltest;

namespace {

using CallFn = std::function<bool(std::uint8_t*)>;
int lookups() { return platform().calls[kCentralAddress] + platform().calls[kServiceLookup]; }
UdpPeer* theService = nullptr;

// The library's line `text` (by default `needle`), from its only source line that holds `needle`.
LogLine crit(const std::string& needle, const std::string& text = "", int priority = LOG_CRIT)
{
    const std::string line = text.empty() ? needle : text;
    return {priority, taggedLine("marl/module/marlengine/src/marlclient.cpp", needle, line)};
}
const std::string kRead = "read_marl_point";
const std::string kExtFn = "update_marl_point_ext";
const LogLine kExt = crit("with runtime", kExtFn + ": update the marl point with runtime info", LOG_INFO);
const LogLine kNoSocket = crit("creation failed", "setup_marl_socket remote socket creation failed fd -1 "
                                                 "errno Too many open files");
const LogLine kSetupFailed = crit("Failed to setup marl socket");
const LogLine kTimesOut = crit("times out", kRead + " times out");
LogLine discards(const std::string& needle, const std::string& what)
{
    return crit(needle, kRead + " discards " + what, LOG_WARNING);
}

std::string pointerText(const void* pointer)
{
    char text[32];
    return std::string(text, static_cast<std::size_t>(std::snprintf(text, sizeof text, "%p", pointer)));
}
std::string nHex(std::size_t count) { return count == 0 ? "" : "6e" + nHex(count - 1); } // count n's as hex
const char* const kEmpty = "";

// A header with the identifier given, every other field zero; resized() sets its length.
std::string head(const char* id) { return "0000" + std::string(id) + std::string(72, '0'); }
// An update of the point ab; an extended one carries `block` and `cut` zero bytes.
Bytes updateAb(const char* setPoint, const std::string& block = "", std::size_t cut = 0)
{
    const Bytes bytes = hexBytes(head(block.empty() ? "8c00" : "8c04") + setPoint + "00 00000002 6162" +
                                 block);
    return resized(bytes, bytes.size() + cut);
}
const Bytes kQueryAb = resized(hexBytes(head("8c01") + "00000002 6162"), 46);
const std::string kNoTexts(24, '0');
const std::string kThresholdHex = "0016 00016100 00016200 3f800000 40000000 3f000000 00000010";

// A reply of `size` bytes: identifier, pointIsSet at 40, returnCode at 41.
Bytes reply(const char* id, const char* isSet, const char* code, std::size_t size = 49)
{
    return resized(hexBytes(head(id) + isSet + code), size);
}
const Bytes kSetReply = reply("8c02", "01", "00000000");

const t_threshold_info kThreshold{const_cast<char*>("a"), {const_cast<char*>("b"), 1.0F, 2.0F}, 0.5F, 16};
const std::string kMany(601, 'n');
// A text of `count` n's.
const char* chars(std::size_t count) { return kMany.c_str() + kMany.size() - count; }
const t_threshold_info kLongIdRecord{const_cast<char*>(chars(100)), {nullptr, 0.0F, 0.0F}, 0.0F, -1};

CallFn update(const char* id, uint8_t v) { return [=](uint8_t*) { return update_marl_point(id, v); }; }
CallFn query(const char* id) { return [=](uint8_t* value) { return read_marl_point(id, value); }; }
CallFn ext(const t_threshold_info* th, std::array<const char*, 6> t, const char* name = "ab")
{
    return [=](uint8_t*) { return update_marl_point_ext(name, 0, th, t[0], t[1], t[2], t[3], t[4], t[5]); };
}
// `call` with the next platform call of the kind failing with `error`.
CallFn failing(Call kind, int error, CallFn call)
{
    return [=](std::uint8_t* value) { return platform().failNext[kind] = error, call(value); };
}

// Runs `call` without a socket, or without memory for its datagram, which must fail it, then again,
// which must not. Nothing is looked up without a socket.
CallFn without(bool memory, CallFn call)
{
    return [=](std::uint8_t* value) {
        platform().failNext[kSocket] = memory ? 0 : EMFILE;
        platform().failAllocation(memory ? 1 : 0);
        const bool failed = !call(value);
        platform().failAllocation(0);
        return failed && (memory || lookups() == 0) && call(value);
    };
}

// What setup_marl_socket returns and writes (-7: not written), with the argument `missing` null.
auto setUp(int missing = -1)
{
    int fd = -7;
    sockaddr_in to{};
    int size = -7;
    const bool ok = setup_marl_socket(missing == 0 ? nullptr : &fd, missing == 1 ? nullptr : &to,
                                      missing == 2 ? nullptr : &size);
    return std::tuple(ok, fd, to.sin_family, to.sin_addr.s_addr, to.sin_port, size);
}
const auto kUnwritten = std::tuple(false, -7, sa_family_t{0}, in_addr_t{0}, in_port_t{0}, -7);
// Takes the descriptors below `fd`, so that the library's socket is `fd`
// (0: a daemon that closed its standard input).
CallFn onDescriptor(int fd, CallFn call)
{
    return [=](std::uint8_t* value) {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
        for (int last = fd == 0 ? close(0) : 0; last >= 0 && last < fd - 1;) {
            last = open("/dev/null", O_RDONLY);
        }
        return call(value) && std::get<1>(setUp()) == fd;
    };
}
// The address and port are looked up once for the process: a changed
// configuration is not seen.
bool setupOnce(std::uint8_t*)
{
    setenv(CMN_HAL_CENTRAL_ADDRESS_ENV, "127.0.0.9", 1);
    const auto first = setUp();
    setenv(CMN_HAL_CENTRAL_ADDRESS_ENV, "127.0.0.10", 1);
    const auto port = htons(static_cast<std::uint16_t>(platform().serviceEntryPort.load()));
    const auto expected = std::tuple(true, std::get<1>(first), AF_INET, inet_addr("127.0.0.9"), port, 16);
    return std::get<1>(first) >= 0 && first == setUp() && first == expected && lookups() == 2;
}
// A query times out, and the service's answer to it (the row's) comes late:
// the next query discards it unread, and times out too.
bool lateReplyAnswersNothing(std::uint8_t* value)
{
    platform().selectReturnsUnready = 0;
    const bool first = read_marl_point("ab", value);
    pollfd late{std::get<1>(setUp()), POLLIN, 0};
    const bool queued = poll(&late, 1, 5000) == 1;
    platform().selectReturnsUnready = 0;
    return !first && queued && !read_marl_point("other", value) && errno == ETIMEDOUT;
}
Bytes named(const char* name, bool set) { return datagramBytes(marl::ResponseDatagram{name, set}); }

std::uint8_t theValue; // what the call's value argument points to

// One call: what it returns, sends and logs, and what its value holds
// afterwards (it starts at 7).
struct CallRow {
    std::string name;
    CallFn call;
    bool result;
    Bytes sent; // empty when nothing is sent
    std::vector<LogLine> logs;
    std::optional<Bytes> answer = std::nullopt; // the service's reply
    std::uint8_t value = 7;
    std::optional<Bytes> before = std::nullopt; // sent ahead of the reply
};

class ClientCall : public ::testing::TestWithParam<CallRow> {};

TEST_P(ClientCall, SendsLogsAndReturnsExactlyThis)
{
    const CallRow& row = GetParam();
    UdpPeer service;
    theService = &service;
    unsetenv(CMN_HAL_CENTRAL_ADDRESS_ENV);
    platform().serviceEntryPort = service.port();
    // The service thread is exempt from allocation faults only once it runs,
    // and starting a thread allocates: the call waits until it has started.
    std::promise<void> started;
    auto received = std::async(std::launch::async, [&] {
        platform().ignoreAllocationsOfThisThread();
        started.set_value();
        sockaddr_in from{};
        auto datagram = service.receive(std::chrono::milliseconds(row.sent.empty() ? 200 : 5000), &from);
        if (datagram && row.before) {
            service.send(from, *row.before);
        }
        if (datagram && row.answer) {
            service.send(from, *row.answer);
        }
        return datagram.value_or(Bytes{});
    });
    started.get_future().wait();
    theValue = 7;
    const bool result = row.call(&theValue);
    EXPECT_EQ(std::tuple(result, theValue, received.get(), platform().logs()),
              std::tuple(row.result, row.value, row.sent, row.logs));
    // A query's first wait is of ten seconds.
    const std::pair<long, long> waited{platform().lastSelectSeconds, platform().firstSelectMicroseconds};
    EXPECT_TRUE(platform().calls[kSelect] == 0 || waited == std::pair(0L, 10000000L));
}

std::vector<CallRow> callRows()
{
    const LogLine tooLong = crit("Maximum message length exceeded");
    const auto nullPointers = [](const char* name, const void* value) {
        const std::string text = kRead + ": Null pointer detected: pntId=" + pointerText(name) + " value=";
        return std::vector{crit("Null pointer", text + pointerText(value))};
    };
    const auto tooShort = [](const char* size) {
        return std::vector{crit("reply too short,", kRead + " reply too short, numBytes " + size)};
    };
    const CallFn ab = query("ab");
    std::vector<CallRow> rows{
        {"name_of_600", update(chars(600), 1), true,
         resized(hexBytes(head("8c00") + "01 00 00000258" + nHex(600)), 646), {}},
        {"name_of_601", update(chars(601), 1), false, {}, {tooLong}},
        {"update_null_name", update(nullptr, 1), false, {},
         {crit("Point ID is", "update_marl_point: Point ID is a null pointer")}},
        // The datagram's buffer cannot be allocated: refused, and the next call, with memory, goes out.
        {"allocation_fails", without(true, update("ab", 2)), true, updateAb("01"),
         {crit("Unable to allocate buffer")}},
        {"socket_fails", without(false, update("ab", 1)), true, updateAb("01"), {kNoSocket, kSetupFailed}},
        // The text "x" alone makes the extended form, as the threshold alone does.
        {"ext_socket_fails", without(false, ext(nullptr, {"x"})), true,
         updateAb("00", "0000 00017800" + std::string(20, '0')),
         {kExt, kNoSocket, kSetupFailed, kExt}},
        {"setup_once", setupOnce, true, {}, {}},
        {"central_address_unparsable",
         [](uint8_t*) {
             setenv(CMN_HAL_CENTRAL_ADDRESS_ENV, "10.0.0.256", 1);
             return std::get<3>(setUp()) == inet_addr("127.0.0.1");
         },
         true, {}, {{LOG_WARNING, "cmn_hal_getCentralAddress: CMN_HAL_CENTRAL_ADDRESS \"10.0.0.256\" is "
                                  "not a dotted IPv4 address; using 127.0.0.1"}}},
        {"ext_threshold", ext(&kThreshold, {}), true, updateAb("00", kThresholdHex + kNoTexts), {kExt}},
        // Cut texts keep the datagram at the uncut length: zero bytes end it.
        {"ext_attribute_id_of_100", ext(&kLongIdRecord, {}), true,
         updateAb("00", "0016 0050" + nHex(80) + "00 0000" + kNoTexts + "ffffffff" + kNoTexts, 20),
         {kExt}},
        {"ext_empty_text", ext(nullptr, {""}), true, updateAb("00", "0000" + kNoTexts, 1), {kExt}},
        // The limit counts the texts uncut: 46 + 2 + 2 + 2 + 583 + 1 + 5 * 2 is 646.
        {"ext_fills_the_limit", ext(nullptr, {chars(583)}), true,
         updateAb("00", "0000 0080" + nHex(128) + "00" + std::string(20, '0'), 455), {kExt}},
        {"ext_one_byte_over", ext(nullptr, {chars(584)}), false, {}, {kExt, tooLong}},
        // Without runtime arguments, the plain update of the value.
        {"ext_falls_back", ext(nullptr, {}), true, updateAb("00"),
         {kExt, crit("no runtime", kExtFn + ": no runtime info, call update_marl_point instead", LOG_INFO)}},
        {"ext_empty_name", ext(nullptr, {"x"}, kEmpty), false, {}, 
         {kExt, crit("is empty", kExtFn + ": pntId is empty. Its address is " + pointerText(kEmpty))}},
        {"query_send_fails", failing(kSendto, EPERM, ab), false, {},
         {crit("sendto failed", kRead + " sendto failed Operation not permitted pntId ab")}},
        {"query_empty_name", query(kEmpty), false, {}, 
         {crit("is empty", kRead + ": pntId is empty. Its address is " + pointerText(kEmpty))}},
        {"query_socket_fails", without(false, ab), true, kQueryAb, {kNoSocket}, kSetReply, 1},
        // A reply longer than the buffer is cut to it.
        {"query_clear_on_fd_0", onDescriptor(0, ab), true, kQueryAb, {}, reply("8c02", "00", "", 1000), 0},
        {"update_on_fd_0", onDescriptor(0, update("ab", 1)), true, updateAb("01"), {}},
        // pointIsSet comes back as it came, whatever its value.
        {"point_is_set_as_it_came", ab, true, kQueryAb, {}, reply("8c02", "a5", "00000000"), 0xa5},
        // Any code but "invalid point" counts; the reply may end after it.
        {"reply_of_45_bytes", ab, true, kQueryAb, {}, reply("8c02", "01", "00000007", 45), 1},
        {"reply_of_44_bytes", ab, false, kQueryAb, tooShort("44"), reply("8c02", "01", "", 44)},
        {"empty_reply", ab, false, kQueryAb, tooShort("0"), Bytes{}},
        {"invalid_point", ab, false, kQueryAb, {crit("invalid point %s", kRead + " invalid point ab")},
         reply("8c02", "01", "00000001")},
        {"update_identifier", ab, false, kQueryAb, {crit("unexpected", kRead + " unexpected msg 35840")},
         reply("8c00", "01", "00000000")},
        {"select_fails", failing(kSelect, EINTR, ab), false, kQueryAb,
         {crit("select failed", kRead + " select failed numFd -1 errno Interrupted system call")}},
        {"select_without_the_socket",
         [](uint8_t* v) { return platform().selectReturnsUnready = 1, read_marl_point("ab", v); }, false,
         kQueryAb,
         {crit("invalid numFd", kRead + " socket returns invalid numFd 1")}},
        {"receive_fails", failing(kRecvfrom, ECONNREFUSED, ab), false, kQueryAb,
         {crit("recv failed", kRead + " recv failed, numBytes -1")}, kSetReply},
        // select watches descriptors below FD_SETSIZE (1024) only; poll waits on the others.
        {"socket_1023_is_watched", onDescriptor(1023, ab), true, kQueryAb, {}, kSetReply, 1},
        {"socket_1024_waits_in_poll",
         onDescriptor(1024, [=](uint8_t* v) { return ab(v) && platform().calls[kSelect] == 0; }), true,
         kQueryAb, {}, kSetReply, 1},
        {"late_reply_for_ab_answers_nothing", lateReplyAnswersNothing, true, kQueryAb,
         {kTimesOut, discards("late reply for", "a late reply for ab"), kTimesOut}, named("ab", 1)},
        {"late_reply_without_name_answers_nothing", lateReplyAnswersNothing, true, kQueryAb,
         {kTimesOut, discards("late reply that", "a late reply that names no point"), kTimesOut}, kSetReply},
        // A flood cannot hold a query up: 64 stale datagrams go before it is sent, the rest later.
        {"at_most_64_stale_datagrams_go",
         [=](uint8_t* v) { return platform().strayDatagrams = 65, ab(v) && platform().strayDatagrams == 1; },
         true, kQueryAb, std::vector(64, discards("stale datagram of", "a stale datagram of 3 bytes")),
         kSetReply, 1},
        // One deadline for the query: the wait after a reply for another point is shorter.
        {"reply_for_another_point_is_passed_over",
         [=](uint8_t* v) { return ab(v) && platform().lastSelectMicroseconds < 10000000; }, true, kQueryAb,
         {discards("discards a reply for", "a reply for cd while waiting for ab")}, named("ab", 0), 0,
         named("cd", 1)},
        // A name that runs past what arrived is none: the reply is taken.
        {"name_past_the_end_names_none", ab, true, kQueryAb, {},
         patched(reply("8c02", "01", "00000000", 51), 45, "00000003 6364"), 1},
        {"query_null_name", query(nullptr), false, {}, nullPointers(nullptr, &theValue)},
        {"query_null_value", [](uint8_t*) { return read_marl_point(kEmpty, nullptr); }, false, {},
         nullPointers(kEmpty, nullptr)},
    };
    for (int which = 0; which < 3; ++which) {
        const CallFn writes = [which](uint8_t*) { return setUp(which) != kUnwritten; };
        rows.push_back({"setup_without_argument_" + std::to_string(which), writes, false, {},
                        {crit("Invalid input", "setup_marl_socket: Invalid input parameter", LOG_ERR)}});
    }
    // Any one text alone makes the extended form, as the threshold alone does.
    for (std::size_t which = 0; which < 6; ++which) {
        std::array<const char*, 6> texts{};
        texts[which] = "x";
        const std::string block = "0000" + std::string(4 * which, '0') + "00017800" + std::string(20 - 4 * which, '0');
        rows.push_back({"ext_text_" + std::to_string(which) + "_alone", ext(nullptr, texts), true, updateAb("00", block), {kExt}});
    }
    return rows;
}

// The prefix puts "client" in every CTest name, for `ctest -R client`.
const auto rowName = [](const auto& p) { return p.param.name; };
INSTANTIATE_TEST_SUITE_P(client, ClientCall, ::testing::ValuesIn(callRows()), rowName);

// ---- Queries side by side, each row a script that the test plays against
// the service, one step at a time:
//   ?a   a thread of its own queries a; the step ends when the query arrives
//   ?a~  the same, but the query must not arrive yet (it waits its turn)
//   <a   the held-back query for a arrives
//   !a5  the service answers for a, pointIsSet 5; !-5 names no point; !# is
//        44 bytes, too short
//   .    the library logs its next line
//   T    the receiver's next wait times out at once
//   X1   the thread of the second query is cancelled
// and the outcome of each query in the script's order: "a@7=5" ended at step
// 7 (0-based) with true and 5, "=x" with false and the value untouched. A
// query ends at the step that ends it: the next step waits for it.
// For the leak checker of the sanitizer build: the process's first
// cancellation loads the unwinder (libgcc_s) through dlopen, whose
// bookkeeping lies where the checker does not look.
extern "C" const char* __lsan_default_suppressions() { return "leak:_dl_map_object_deps\n"; }

struct Query {
    std::string name;
    pthread_t thread{};
    std::uint8_t value = 7;
    std::atomic<bool> result{false};
    std::atomic<int> endedAt{-1};
    bool cancelled = false;
};
std::atomic<int> theStep{0};

void* runQuery(void* query)
{
    auto& q = *static_cast<Query*>(query);
    q.result = read_marl_point(q.name.c_str(), &q.value);
    q.endedAt = theStep.load();
    pthread_testcancel(); // where a cancellation held off during the query acts
    return nullptr;
}

Bytes answer(const std::string& what)
{
    const std::string isSet = "0" + what.substr(1);
    return what[0] == '#' ? reply("8c02", "01", "", 44)
           : what[0] == '-' ? reply("8c02", isSet.c_str(), "00000000")
                            : patched(named(what.substr(0, 1).c_str(), false), 40, isSet);
}

struct SideBySideRow {
    std::string name;
    std::string script;
    std::string outcome;
    std::vector<LogLine> logs;
};

class SideBySide : public ::testing::TestWithParam<SideBySideRow> {};

TEST_P(SideBySide, EachQueryGetsItsOwnAnswer)
{
    const SideBySideRow& row = GetParam();
    UdpPeer service;
    platform().serviceEntryPort = service.port();
    std::deque<Query> queries;
    std::vector<int> endsAt; // each query's step, from the outcome
    for (std::size_t at = row.outcome.find('@'); at != std::string::npos; at = row.outcome.find('@', at + 1)) {
        endsAt.push_back(std::stoi(row.outcome.substr(at + 1)));
    }
    sockaddr_in library{};
    std::size_t logged = 0;
    std::istringstream script(row.script);
    std::string step;
    for (int at = 0; script >> step; ++at) {
        theStep = at;
        const std::string arg = step.substr(1);
        const bool held = step.back() == '~';
        if (step[0] == '?') {
            Query& q = queries.emplace_back();
            q.name = arg.substr(0, 1);
            pthread_create(&q.thread, nullptr, runQuery, &q);
        }
        if (step[0] == '<' || (step[0] == '?' && !held)) {
            const Bytes query = datagramBytes(marl::QueryDatagram{arg.substr(0, 1)});
            EXPECT_EQ(service.receive(std::chrono::seconds(5), &library), query) << step;
        } else if (held) {
            EXPECT_FALSE(service.receive(std::chrono::milliseconds(200))) << step << " did not wait its turn";
        } else if (step[0] == '!') {
            EXPECT_TRUE(service.send(library, answer(arg)));
        } else if (step[0] == '.') {
            for (int waited = 0; platform().logs().size() <= logged && waited < 5000; ++waited) {
                usleep(1000);
            }
            logged = platform().logs().size();
        } else if (step[0] == 'T') {
            platform().selectReturnsUnready = 0;
        } else if (step[0] == 'X') {
            Query& q = queries.at(std::stoul(arg));
            q.cancelled = pthread_cancel(q.thread) == 0;
        }
        for (std::size_t i = 0; i < queries.size() && i < endsAt.size(); ++i) {
            for (int waited = 0; endsAt[i] == at && queries[i].endedAt < 0 && waited < 20000; ++waited) {
                usleep(1000);
            }
        }
    }
    std::string outcome;
    for (Query& q : queries) {
        void* exit = nullptr;
        pthread_join(q.thread, &exit);
        EXPECT_EQ(exit == PTHREAD_CANCELED, q.cancelled) << q.name;
        outcome += (outcome.empty() ? "" : " ") + q.name + "@" + std::to_string(q.endedAt) + "=" +
                   (q.result ? std::to_string(q.value) : q.value == 7 ? "x" : "?");
    }
    std::vector<LogLine> logs = platform().logs();
    std::vector<LogLine> expected = row.logs;
    const auto byText = [](const LogLine& a, const LogLine& b) { return a.text < b.text; };
    std::sort(logs.begin(), logs.end(), byText);
    std::sort(expected.begin(), expected.end(), byText);
    EXPECT_EQ(std::tuple(outcome, logs, service.receive(std::chrono::milliseconds(0))),
              std::tuple(row.outcome, expected, std::optional<Bytes>{}));
}

// Each row but the last starts with w, a lone query answered with its name:
// the service has then shown that it echoes names.
INSTANTIATE_TEST_SUITE_P(client, SideBySide, ::testing::ValuesIn(std::vector<SideBySideRow>{
    {"answered_in_reverse_order", "?w !w1 ?a ?b ?c !c1 !b0 !a9", "w@1=1 a@7=9 b@6=0 c@5=1", {}},
    {"same_name_oldest_first", "?w !w1 ?a ?a !a1 !a0", "w@1=1 a@4=1 a@5=0", {}},
    {"reply_for_nobody", "?w !w1 ?a !z1 !a1", "w@1=1 a@4=1", {discards("discards a reply for", "a reply for z while waiting for a")}},
    {"receiver_hands_on", "?w !w1 ?a ?b !a1 !b0", "w@1=1 a@4=1 b@5=0", {}},
    {"unanswered_holds_none_up", "?w !w1 ?n ?a ?b ?c ?d !a1 !b1 !c0 !d1 T !z1", "w@1=1 n@12=x a@7=1 b@8=1 c@9=0 d@10=1",
     {discards("discards a reply for", "a reply for z while waiting for n"), kTimesOut}},
    {"too_short_fails_the_receiver", "?w !w1 ?a ?b !# !b1", "w@1=1 a@4=x b@5=1", {crit("reply too short,", kRead + " reply too short, numBytes 44")}},
    {"nameless_reply_answers_none_of_two", "?w !w1 ?a ?b !-1 . ?c~ !a1 <c !b0 !c1", "w@1=1 a@7=1 b@9=0 c@10=1",
     {discards("names no point while", "a reply that names no point while waiting for a")}},
    {"cancel_acts_after_the_query", "?w !w1 ?a X1 !a1", "w@1=1 a@4=1", {}},
    {"unanswered_each_times_out", "?w !w1 ?a ?b ?c !a1", "w@1=1 a@5=1 b@5=x c@5=x", {kTimesOut, kTimesOut}},
    {"names_not_echoed_one_at_a_time", "?a ?b~ !-1 <b !-0", "a@2=1 b@4=0", {}},
}), rowName);

// A fork while a thread waits in a query: the child updates and queries at
// once, through a socket of its own, and the parent's query gets its reply.
TEST(client, ForkGivesTheChildItsOwnSocket)
{
    UdpPeer service;
    platform().serviceEntryPort = service.port();
    const int parentFd = std::get<1>(setUp());
    std::uint8_t parentValue = 7;
    auto parentQuery = std::async(std::launch::async,
                                  [&] { return read_marl_point("parent", &parentValue); });
    sockaddr_in parent{}, child{};
    const auto parentAsks = service.receive(std::chrono::seconds(5), &parent); // its query is in flight now
    ASSERT_EQ(parentAsks, datagramBytes(marl::QueryDatagram{"parent"}));
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(20); // a lock left taken would hang the child
        std::uint8_t value = 7;
        const bool own = update_marl_point("child", 1) && std::get<1>(setUp()) != parentFd &&
                         fcntl(parentFd, F_GETFD) == -1; // the inherited copy is closed
        const bool ok = own && read_marl_point("child", &value) && value == 1;
        // A program it runs must not see its socket. Ending in exec also spares
        // the leak checker what the threads that did not come along still hold.
        const std::string fd = "/proc/self/fd/" + std::to_string(std::get<1>(setUp()));
        execl("/bin/sh", "sh", "-c", ("[ ! -e " + fd + " ] && exit " + (ok ? "0" : "1")).c_str(), nullptr);
        _exit(2);
    }
    const auto update = service.receive(std::chrono::seconds(5), &child);
    EXPECT_EQ(update, datagramBytes(marl::UpdateDatagram{"child", true}));
    EXPECT_EQ(service.receive(std::chrono::seconds(5)), datagramBytes(marl::QueryDatagram{"child"}));
    EXPECT_NE(child.sin_port, parent.sin_port);
    service.send(child, named("child", true));
    int status = -1;
    EXPECT_EQ(std::pair(waitpid(pid, &status, 0), status), std::pair(pid, 0));
    service.send(parent, named("parent", false));
    EXPECT_EQ(std::pair(parentQuery.get(), parentValue), std::pair(true, std::uint8_t{0}));
}

} // namespace
