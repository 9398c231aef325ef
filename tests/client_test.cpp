// The client's operations against a scripted service, one row per call: its
// result, every datagram byte for byte, every refusal and failure with its
// exact log line. The library's socket lives as long as the process, so each
// row runs in a process of its own (CTest does so).
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <future>
#include <set>

#include "cmnHal.h"
#include "marlclient.h"
#include "platform_interposer.h"
#include "test_support.h"

using namespace marltest;

namespace {

using CallFn = std::function<bool(std::uint8_t*)>;
UdpPeer* theService = nullptr;

LogLine logged(int priority, const std::string& needle, const std::string& text)
{
    return {priority, taggedLine("marl/module/marlengine/src/marlclient.cpp", needle, text)};
}
LogLine crit(const std::string& needle, const std::string& text = "") { return logged(LOG_CRIT, needle, text.empty() ? needle : text); }
const LogLine kExt = logged(LOG_INFO, "update the marl point", "update_marl_point_ext: update the marl point with runtime info");
const LogLine kUnable = crit("Unable to allocate buffer");
const LogLine kNoSocket = crit("remote socket creation failed", "setup_marl_socket remote socket creation failed fd -1 "
                                                                "errno Too many open files");
const LogLine kSetupFailed = crit("Failed to setup marl socket");

std::string pointerText(const void* pointer)
{
    char text[32];
    return std::string(text, static_cast<std::size_t>(std::snprintf(text, sizeof text, "%p", pointer)));
}
std::string repeat(const std::string& text, std::size_t times)
{
    std::string repeated;
    for (; times > 0; --times) {
        repeated += text;
    }
    return repeated;
}
LogLine nameRefused(const std::string& function, const char* name)
{
    return name == nullptr ? crit("Point ID is a null pointer", function + ": Point ID is a null pointer")
                           : crit("pntId is empty", function + ": pntId is empty. Its address is " + pointerText(name));
}
LogLine sendFails(const std::string& function) { return crit("sendto failed", function + " sendto failed Operation not permitted pntId ab"); }

// A header with the identifier and length given, every other field zero.
std::string head(const char* id, std::size_t length)
{
    char text[24];
    std::snprintf(text, sizeof text, "0000%s %08zx ", id, length);
    return text + std::string(64, '0');
}
// An update of the point ab; an extended one carries `block` and `cut` zero bytes.
std::string updateAb(const char* setPoint, const std::string& block = "", std::size_t cut = 0)
{
    const std::size_t length = 48 + hexBytes(block).size() + cut;
    return head(block.empty() ? "8c00" : "8c04", length) + setPoint + " 00 00000002 6162" + block + std::string(2 * cut, '0');
}
const std::string kQueryAb = head("8c01", 46) + "00000002 6162";
const std::string kNoTexts = repeat("0000", 6);
const std::string kThresholdHex = "0016 00016100 00016200 3f800000 40000000 3f000000 00000010";

// A reply of `size` bytes: identifier, pointIsSet at 40, returnCode at 41.
Bytes reply(const char* id, const char* isSet, const char* code, std::size_t size = 49)
{
    Bytes bytes = hexBytes(head(id, size) + isSet + code + "00000000");
    bytes.resize(size);
    return bytes;
}
const Bytes kSetReply = reply("8c02", "01", "00000000");

const char* const kEmpty = "";
const t_threshold_info kThreshold{const_cast<char*>("a"), {const_cast<char*>("b"), 1.0F, 2.0F}, 0.5F, 16};
const std::string kLongId(100, 'i');
const t_threshold_info kLongIdRecord{const_cast<char*>(kLongId.c_str()), {nullptr, 0.0F, 0.0F}, 0.0F, -1};

CallFn update(const char* name, std::uint8_t v) { return [=](std::uint8_t*) { return update_marl_point(name, v); }; }
CallFn query(const char* name) { return [=](std::uint8_t* value) { return read_marl_point(name, value); }; }
CallFn ext(const t_threshold_info* threshold, std::array<const char*, 6> t, const char* name = "ab")
{
    return [=](std::uint8_t*) { return update_marl_point_ext(name, 0, threshold, t[0], t[1], t[2], t[3], t[4], t[5]); };
}
std::function<void()> fault(marltest::Call kind, int error) { return [=] { platform().failNext[kind] = error; }; }

// Runs `call` with `fault` on, which must fail it, then with it off, which must not.
CallFn faulty(const std::function<bool(bool on)>& fault, CallFn call)
{
    return [=](std::uint8_t* value) { return !call((fault(true), value)) && fault(false) && call(value); };
}
CallFn withoutMemory(CallFn call)
{
    return faulty([](bool on) { return platform().failAllocation(on ? 1 : 0), true; }, call);
}
// Nothing is looked up without a socket.
CallFn withoutSocket(CallFn call)
{
    return faulty([](bool on) {
        platform().failNext[kSocket] = on ? EMFILE : 0;
        return platform().calls[kCentralAddress] + platform().calls[kServiceLookup] == 0;
    }, call);
}
// Takes descriptors up to `last`, so that the library's socket is the next one.
std::function<void()> descriptorsUpTo(int last)
{
    return [last] {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
        for (int fd = 0; fd >= 0 && fd < last; fd = open("/dev/null", O_RDONLY)) {
        }
    };
}

struct Setup {
    bool ok;
    int fd = -7;
    sockaddr_in address{};
    int size = -7;
    auto key() const { return std::tuple(ok, fd, address.sin_family, address.sin_addr.s_addr, address.sin_port, size); }
};
Setup setUp(int without = -1)
{
    Setup s{};
    s.ok = setup_marl_socket(without == 0 ? nullptr : &s.fd, without == 1 ? nullptr : &s.address, without == 2 ? nullptr : &s.size);
    return s;
}
// The address and port are looked up once for the process: a changed
// configuration, or a services entry that appears later, is not seen.
bool setupOnce(std::uint8_t*)
{
    const int port = platform().serviceEntryPort;
    setenv(CMN_HAL_CENTRAL_ADDRESS_ENV, "127.0.0.9", 1);
    platform().serviceEntryPort = 0;
    const Setup first = setUp();
    setenv(CMN_HAL_CENTRAL_ADDRESS_ENV, "127.0.0.10", 1);
    platform().serviceEntryPort = port;
    return first.fd >= 0 && first.key() == setUp().key() &&
           first.key() == std::tuple(true, first.fd, AF_INET, inet_addr("127.0.0.9"), 0, 16) &&
           platform().calls[kCentralAddress] + platform().calls[kServiceLookup] == 2;
}
// One wait, one datagram: the reply to a query that timed out stays queued and answers the next query.
bool timesOut(std::uint8_t* value)
{
    const auto started = std::chrono::steady_clock::now();
    const bool failed = !read_marl_point("ab", value) && std::chrono::steady_clock::now() - started >= std::chrono::milliseconds(9900);
    sockaddr_in own{};
    socklen_t size = sizeof own;
    return failed && getsockname(setUp().fd, reinterpret_cast<sockaddr*>(&own), &size) == 0 &&
           theService->send(ntohs(own.sin_port), kSetReply) && read_marl_point("other", value);
}

// One call: what it returns, sends and logs, what *value holds afterwards
// (it starts at 7), and how many sockets it asks for.
struct CallRow {
    std::string name;
    CallFn call;
    bool result;
    std::string sent; // hex; empty when nothing is sent
    std::vector<LogLine> logs;
    std::optional<Bytes> answer = std::nullopt; // the service's reply
    std::uint8_t value = 7;
    int sockets = 1;
    std::function<void()> arrange = [] {};
};

class ClientCall : public ::testing::TestWithParam<CallRow> {
protected:
    void SetUp() override
    {
        static int testsInThisProcess = 0;
        ASSERT_EQ(++testsInThisProcess, 1) << "one process per test: run it through ctest or with --gtest_filter";
        unsetenv(CMN_HAL_CENTRAL_ADDRESS_ENV);
        theService = &service;
        platform().serviceEntryPort = service.port();
        platform().resetCounters(); // the service's own socket is not the library's
    }
    UdpPeer service;
};

TEST_P(ClientCall, SendsLogsAndReturnsExactlyThis)
{
    const CallRow& row = GetParam();
    row.arrange();
    auto received = std::async(std::launch::async, [&] {
        platform().ignoreAllocationsOfThisThread();
        sockaddr_in from{};
        auto datagram = service.receive(std::chrono::milliseconds(row.sent.empty() ? 200 : 5000), &from);
        if (datagram && row.answer) {
            service.send(from, *row.answer);
        }
        return datagram.value_or(Bytes{});
    });
    std::uint8_t value = 7;
    EXPECT_EQ(row.call(&value), row.result);
    EXPECT_EQ(value, row.value);
    EXPECT_EQ(received.get(), hexBytes(row.sent));
    EXPECT_EQ(platform().logs(), row.logs);
    EXPECT_EQ(platform().calls[kSocket], row.sockets);
    if (platform().calls[kSelect] > 0) {
        EXPECT_EQ(platform().lastSelectSeconds, 0);
        EXPECT_EQ(platform().lastSelectMicroseconds, 10000000);
    }
}

std::vector<CallRow> updateRows()
{
    static const std::string n600(600, 'n');
    static const std::string n601(601, 'n');
    static const std::string t583(583, 't');
    static const std::string t584(584, 't');
    const LogLine setupInvalid = logged(LOG_ERR, "Invalid input parameter\"", "setup_marl_socket: Invalid input parameter");
    const LogLine tooLong = crit("Maximum message length exceeded");
    const std::string extX = updateAb("00", kThresholdHex + "00017800" + repeat("0000", 5));
    std::vector<CallRow> rows{
        {"raise_ab", update("ab", 1), true, updateAb("01"), {}},
        {"clear_ab", update("ab", 0), true, updateAb("00"), {}},
        {"value_2", update("ab", 2), true, updateAb("01"), {}},
        {"name_of_600", update(n600.c_str(), 1), true, head("8c00", 646) + "01 00 00000258" + repeat("6e", 600), {}},
        {"name_of_601", update(n601.c_str(), 1), false, "", {tooLong}},
        {"null_name", update(nullptr, 1), false, "", {nameRefused("update_marl_point", nullptr)}, {}, 7, 0},
        {"empty_name", update(kEmpty, 1), false, "", {nameRefused("update_marl_point", kEmpty)}, {}, 7, 0},
        {"send_fails", update("ab", 1), false, "", {sendFails("update_marl_point")}, {}, 7, 1, fault(kSendto, EPERM)},
        // The datagram's buffer cannot be allocated: refused, and the next call, with memory, goes out.
        {"allocation_fails", withoutMemory(update("ab", 1)), true, updateAb("01"), {kUnable}},
        {"ext_allocation_fails", withoutMemory(ext(&kThreshold, {"x"})), true, extX, {kExt, kUnable, kExt}},
        {"socket_fails", withoutSocket(update("ab", 1)), true, updateAb("01"), {kNoSocket, kSetupFailed}, {}, 7, 2},
        {"ext_socket_fails", withoutSocket(ext(&kThreshold, {"x"})), true, extX, {kExt, kNoSocket, kSetupFailed, kExt}, {}, 7, 2},
        {"setup_once", setupOnce, true, "",
         {{LOG_CRIT, taggedLine("base/export/basecommon/card/cardinetPortNumbersPlatform.h", "returned NULL",
                                "getportbyname for marl returned NULL\n")}}},
        {"ext_threshold", ext(&kThreshold, {}), true, updateAb("00", kThresholdHex + kNoTexts), {kExt}},
        // Cut texts keep the datagram at the uncut length: zero bytes end it.
        {"ext_attribute_id_of_100", ext(&kLongIdRecord, {}), true,
         updateAb("00", "0016 0050" + repeat("69", 80) + "00 0000 00000000 00000000 00000000 ffffffff" + kNoTexts, 20), {kExt}},
        {"ext_empty_text", ext(nullptr, {""}), true, updateAb("00", "0000" + kNoTexts, 1), {kExt}},
        {"ext_service_user_of_33", ext(nullptr, {nullptr, "0123456789abcdef0123456789abcdefX"}), true,
         updateAb("00", "0000 0000 0020" + repeat("30313233343536373839616263646566", 2) + "00" + repeat("0000", 4), 1), {kExt}},
        // The limit counts the texts uncut: 46 + 2 + 2 + 2 + 583 + 1 + 5 * 2 is 646.
        {"ext_fills_the_limit", ext(nullptr, {t583.c_str()}), true,
         updateAb("00", "0000 0080" + repeat("74", 128) + "00" + repeat("0000", 5), 455), {kExt}},
        {"ext_one_byte_over", ext(nullptr, {t584.c_str()}), false, "", {kExt, tooLong}},
        {"ext_falls_back", ext(nullptr, {}), true, updateAb("00"),
         {kExt, logged(LOG_INFO, "no runtime info", "update_marl_point_ext: no runtime info, call update_marl_point instead")}},
        {"ext_null_name", ext(nullptr, {}, nullptr), false, "", {kExt, nameRefused("update_marl_point_ext", nullptr)}, {}, 7, 0},
        {"ext_empty_name", ext(nullptr, {"x"}, kEmpty), false, "", {kExt, nameRefused("update_marl_point_ext", kEmpty)}, {}, 7, 0},
        {"ext_send_fails", ext(&kThreshold, {"x"}), false, "", {kExt, sendFails("update_marl_point_ext")}, {}, 7, 1,
         fault(kSendto, EPERM)},
    };
    for (int which = 0; which < 3; ++which) {
        rows.push_back({"setup_without_argument_" + std::to_string(which), [which](std::uint8_t*) { return setUp(which).key() != Setup{false}.key(); }, false, "", {setupInvalid}, {}, 7, 0});
    }
    // Any one of the seven runtime arguments makes the extended form.
    for (std::size_t i = 0; i < 6; ++i) {
        std::array<const char*, 6> texts{};
        texts[i] = "x";
        rows.push_back({"ext_text_" + std::to_string(i), ext(nullptr, texts), true,
                        updateAb("00", "0000" + repeat("0000", i) + "00017800" + repeat("0000", 5 - i)), {kExt}});
    }
    return rows;
}

std::vector<CallRow> queryRows()
{
    static std::uint8_t untouched = 7; // refused before anything is written to the value or the socket
    const auto nullPointers = [](const char* rowName, const char* name, std::uint8_t* value) {
        const std::string text = "read_marl_point: Null pointer detected: pntId=" + pointerText(name) + " value=" + pointerText(value);
        return CallRow{rowName, [=](std::uint8_t*) { return read_marl_point(name, value) || untouched != 7; }, false, "",
                       {crit("Null pointer detected", text)}, {}, 7, 0};
    };
    const auto tooShort = [](int size) { return crit("reply too short, numBytes", "read_marl_point reply too short, numBytes " + std::to_string(size)); };
    static const std::string q1000(1000, 'q');
    return {
        {"query_set", query("ab"), true, kQueryAb, {}, kSetReply, 1},
        {"query_send_fails", query("ab"), false, "", {sendFails("read_marl_point")}, {}, 7, 1, fault(kSendto, EPERM)},
        {"query_empty_name", query(kEmpty), false, "", {nameRefused("read_marl_point", kEmpty)}, {}, 7, 0},
        {"query_allocation_fails", withoutMemory(query("ab")), true, kQueryAb, {kUnable}, kSetReply, 1},
        {"query_socket_fails", withoutSocket(query("ab")), true, kQueryAb, {kNoSocket}, kSetReply, 1, 2},
        {"query_clear", query("ab"), true, kQueryAb, {}, reply("8c02", "00", "00000000"), 0},
        {"other_return_code_counts", query("ab"), true, kQueryAb, {}, reply("8c02", "01", "00000007"), 1},
        {"reply_of_45_bytes", query("ab"), true, kQueryAb, {}, reply("8c02", "01", "00000000", 45), 1},
        {"reply_over_the_buffer", query("ab"), true, kQueryAb, {}, reply("8c02", "01", "00000000", 1000), 1},
        {"invalid_point", query("ab"), false, kQueryAb, {crit("invalid point %s", "read_marl_point invalid point ab")},
         reply("8c02", "01", "00000001")},
        {"update_identifier", query("ab"), false, kQueryAb, {crit("unexpected msg", "read_marl_point unexpected msg 35840")},
         reply("8c00", "01", "00000000")},
        {"reply_of_44_bytes", query("ab"), false, kQueryAb, {tooShort(44)}, reply("8c02", "01", "00000000", 44)},
        {"empty_reply", query("ab"), false, kQueryAb, {tooShort(0)}, Bytes{}},
        {"name_of_1000", query(q1000.c_str()), true, head("8c01", 1044) + "000003e8" + repeat("71", 1000), {},
         reply("8c02", "00", "00000000"), 0},
        {"select_fails", query("ab"), false, kQueryAb,
         {crit("select failed", "read_marl_point select failed numFd -1 errno Interrupted system call")}, std::nullopt, 7, 1,
         fault(kSelect, EINTR)},
        {"select_without_the_socket", query("ab"), false, kQueryAb,
         {crit("returns invalid numFd", "read_marl_point socket returns invalid numFd 1")}, std::nullopt, 7, 1,
         [] { platform().selectReturnsUnready = 1; }},
        {"receive_fails", query("ab"), false, kQueryAb, {crit("recv failed", "read_marl_point recv failed, numBytes -1")},
         kSetReply, 7, 1, fault(kRecvfrom, ECONNREFUSED)},
        // select watches descriptors below FD_SETSIZE (1024) only.
        {"socket_1023_is_watched", query("ab"), true, kQueryAb, {}, kSetReply, 1, 1, descriptorsUpTo(1022)},
        {"socket_1024_is_refused", query("ab"), false, "",
         {crit("beyond the", "read_marl_point socket 1024 is beyond the 1024 descriptors select can watch")}, {}, 7, 1,
         descriptorsUpTo(1023)},
        {"TimesOutAfterTenSecondsAndTheLateReplyAnswersTheNextQuery", timesOut, true, kQueryAb,
         {crit("times out", "read_marl_point times out")}, std::nullopt, 1},
        nullPointers("null_name", nullptr, &untouched),
        nullPointers("null_value", "ab", nullptr),
        nullPointers("null_both", nullptr, nullptr),
    };
}

// The prefix puts "client" in every CTest name, for `ctest -R client`.
INSTANTIATE_TEST_SUITE_P(client_updates, ClientCall, ::testing::ValuesIn(updateRows()), [](const auto& p) { return p.param.name; });
INSTANTIATE_TEST_SUITE_P(client_queries, ClientCall, ::testing::ValuesIn(queryRows()), [](const auto& p) { return p.param.name; });

} // namespace
