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
LogLine crit(const std::string& needle, const std::string& text = "")
{
    return logged(LOG_CRIT, needle, text.empty() ? needle : text);
}
const std::string kRead = "read_marl_point";
const std::string kExtFn = "update_marl_point_ext";
const LogLine kExt = logged(LOG_INFO, "with runtime", kExtFn + ": update the marl point with runtime info");
const LogLine kUnable = crit("Unable to allocate buffer");
const std::string kSetup = "setup_marl_socket";
const LogLine kNoSocket = crit("creation failed", kSetup + " remote socket creation failed fd -1 errno Too "
                                                            "many open files");
const LogLine kSetupFailed = crit("Failed to setup marl socket");

std::string pointerText(const void* pointer)
{
    char text[32];
    return std::string(text, static_cast<std::size_t>(std::snprintf(text, sizeof text, "%p", pointer)));
}
std::string repeat(const std::string& text, std::size_t times)
{
    std::string repeated;
    while (times-- > 0) {
        repeated += text;
    }
    return repeated;
}
LogLine nameRefused(const std::string& fn, const char* name)
{
    return name == nullptr ? crit("Point ID is", fn + ": Point ID is a null pointer")
                           : crit("is empty", fn + ": pntId is empty. Its address is " + pointerText(name));
}
LogLine sendFails(const std::string& function)
{
    return crit("sendto failed", function + " sendto failed Operation not permitted pntId ab");
}

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
    const std::string tail = setPoint + std::string(" 00 00000002 6162") + block + std::string(2 * cut, '0');
    return head(block.empty() ? "8c00" : "8c04", 48 + hexBytes(block).size() + cut) + tail;
}
const std::string kQueryAb = head("8c01", 46) + "00000002 6162";
const std::string kNoTexts(24, '0');
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
void closeStdin() { close(0); }
const t_threshold_info kThreshold{const_cast<char*>("a"), {const_cast<char*>("b"), 1.0F, 2.0F}, 0.5F, 16};
const std::string kLongId(100, 'i');
const t_threshold_info kLongIdRecord{const_cast<char*>(kLongId.c_str()), {nullptr, 0.0F, 0.0F}, 0.0F, -1};

CallFn update(const char* id, uint8_t v) { return [=](uint8_t*) { return update_marl_point(id, v); }; }
CallFn query(const char* id) { return [=](uint8_t* value) { return read_marl_point(id, value); }; }
CallFn ext(const t_threshold_info* threshold, std::array<const char*, 6> t, const char* name = "ab")
{
    return [=](std::uint8_t*) {
        return update_marl_point_ext(name, 0, threshold, t[0], t[1], t[2], t[3], t[4], t[5]);
    };
}
std::function<void()> fault(Call kind, int error) { return [=] { platform().failNext[kind] = error; }; }

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
    sockaddr_in to{};
    int size = -7;
    auto key() const { return std::tuple(ok, fd, to.sin_family, to.sin_addr.s_addr, to.sin_port, size); }
};
Setup setUp(int without = -1)
{
    Setup s{};
    s.ok = setup_marl_socket(without == 0 ? nullptr : &s.fd, without == 1 ? nullptr : &s.to,
                             without == 2 ? nullptr : &s.size);
    return s;
}
// A daemon that closed its standard input: the library's socket is descriptor 0.
CallFn onDescriptor0(CallFn call)
{
    return [=](std::uint8_t* value) { return call(value) && setUp().fd == 0; };
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
// One wait, one datagram: the reply to a query that timed out stays queued
// and answers the next query.
bool timesOut(std::uint8_t* value)
{
    platform().selectReturnsUnready = 0;
    sockaddr_in own{};
    socklen_t size = sizeof own;
    const bool timedOut = !read_marl_point("ab", value);
    return timedOut && getsockname(setUp().fd, reinterpret_cast<sockaddr*>(&own), &size) == 0 &&
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

class ClientCall : public ::testing::TestWithParam<CallRow> {};

TEST_P(ClientCall, SendsLogsAndReturnsExactlyThis)
{
    const CallRow& row = GetParam();
    UdpPeer service;
    theService = &service;
    const int ownSockets = platform().calls[kSocket];
    unsetenv(CMN_HAL_CENTRAL_ADDRESS_ENV);
    platform().serviceEntryPort = service.port();
    row.arrange();
    // The service thread is exempt from allocation faults only once it runs,
    // and starting a thread allocates: the call waits until it has started.
    std::promise<void> started;
    auto received = std::async(std::launch::async, [&] {
        platform().ignoreAllocationsOfThisThread();
        started.set_value();
        sockaddr_in from{};
        auto datagram = service.receive(std::chrono::milliseconds(row.sent.empty() ? 200 : 5000), &from);
        if (datagram && row.answer) {
            service.send(from, *row.answer);
        }
        return datagram.value_or(Bytes{});
    });
    started.get_future().wait();
    std::uint8_t value = 7;
    EXPECT_EQ(row.call(&value), row.result);
    EXPECT_EQ(value, row.value);
    EXPECT_EQ(received.get(), hexBytes(row.sent));
    EXPECT_EQ(platform().logs(), row.logs);
    EXPECT_EQ(platform().calls[kSocket] - ownSockets, row.sockets);
    if (platform().calls[kSelect] > 0) {
        EXPECT_EQ(platform().lastSelectSeconds, 0);
        EXPECT_EQ(platform().lastSelectMicroseconds, 10000000);
    }
}

// A call refused before anything is sent or a socket is asked for.
CallRow refused(const std::string& name, CallFn call, std::vector<LogLine> logs)
{
    return {name, call, false, "", logs, {}, 7, 0};
}
// A call that fails, with `arrange` run before it, after one socket.
CallRow fails(const std::string& name, CallFn call, std::string sent, std::vector<LogLine> logs,
              std::function<void()> arrange, std::optional<Bytes> answer = std::nullopt)
{
    return {name, call, false, sent, logs, answer, 7, 1, arrange};
}

std::vector<CallRow> updateRows()
{
    static const std::string n600(600, 'n');
    static const std::string n601(601, 'n');
    static const std::string t583(583, 't');
    static const std::string t584(584, 't');
    const LogLine setupInvalid = logged(LOG_ERR, "Invalid input", kSetup + ": Invalid input parameter");
    const LogLine tooLong = crit("Maximum message length exceeded");
    const LogLine fallsBack = logged(LOG_INFO, "no runtime", kExtFn + ": no runtime info, call update_marl_"
                                                                      "point instead");
    const std::string extX = updateAb("00", kThresholdHex + "00017800" + repeat("0000", 5));
    const std::string n600Hex = "01 00 00000258" + repeat("6e", 600);
    const std::string longIdHex = "0016 0050" + repeat("69", 80) + "00 0000" + kNoTexts + "ffffffff";
    const std::string userHex = "0000 0000 0020" + repeat("30313233343536373839616263646566", 2) + "00";
    std::vector<CallRow> rows{
        {"raise_ab", update("ab", 1), true, updateAb("01"), {}},
        {"clear_ab", update("ab", 0), true, updateAb("00"), {}},
        {"value_2_on_fd_0", onDescriptor0(update("ab", 2)), true, updateAb("01"), {}, {}, 7, 1, closeStdin},
        {"name_of_600", update(n600.c_str(), 1), true, head("8c00", 646) + n600Hex, {}},
        {"name_of_601", update(n601.c_str(), 1), false, "", {tooLong}},
        refused("null_name", update(nullptr, 1), {nameRefused("update_marl_point", nullptr)}),
        refused("empty_name", update(kEmpty, 1), {nameRefused("update_marl_point", kEmpty)}),
        fails("send_fails", update("ab", 1), "", {sendFails("update_marl_point")}, fault(kSendto, EPERM)),
        // The datagram's buffer cannot be allocated: refused, and the next call, with memory, goes out.
        {"allocation_fails", withoutMemory(update("ab", 1)), true, updateAb("01"), {kUnable}},
        {"ext_allocation_fails", withoutMemory(ext(&kThreshold, {"x"})), true, extX, {kExt, kUnable, kExt}},
        {"socket_fails", withoutSocket(update("ab", 1)), true, updateAb("01"), {kNoSocket, kSetupFailed},
         {}, 7, 2},
        {"ext_socket_fails", withoutSocket(ext(&kThreshold, {"x"})), true, extX,
         {kExt, kNoSocket, kSetupFailed, kExt}, {}, 7, 2},
        {"setup_once", setupOnce, true, "",
         {{LOG_CRIT, taggedLine("base/export/basecommon/card/cardinetPortNumbersPlatform.h", "returned NULL",
                                "getportbyname for marl returned NULL\n")}}},
        {"ext_threshold", ext(&kThreshold, {}), true, updateAb("00", kThresholdHex + kNoTexts), {kExt}},
        // Cut texts keep the datagram at the uncut length: zero bytes end it.
        {"ext_attribute_id_of_100", ext(&kLongIdRecord, {}), true, updateAb("00", longIdHex + kNoTexts, 20),
         {kExt}},
        {"ext_empty_text", ext(nullptr, {""}), true, updateAb("00", "0000" + kNoTexts, 1), {kExt}},
        {"ext_service_user_of_33", ext(nullptr, {nullptr, "0123456789abcdef0123456789abcdefX"}), true,
         updateAb("00", userHex + repeat("0000", 4), 1), {kExt}},
        // The limit counts the texts uncut: 46 + 2 + 2 + 2 + 583 + 1 + 5 * 2 is 646.
        {"ext_fills_the_limit", ext(nullptr, {t583.c_str()}), true,
         updateAb("00", "0000 0080" + repeat("74", 128) + "00" + repeat("0000", 5), 455), {kExt}},
        {"ext_one_byte_over", ext(nullptr, {t584.c_str()}), false, "", {kExt, tooLong}},
        {"ext_falls_back", ext(nullptr, {}), true, updateAb("00"), {kExt, fallsBack}},
        refused("ext_null_name", ext(nullptr, {}, nullptr), {kExt, nameRefused(kExtFn, nullptr)}),
        refused("ext_empty_name", ext(nullptr, {"x"}, kEmpty), {kExt, nameRefused(kExtFn, kEmpty)}),
        fails("ext_send_fails", ext(&kThreshold, {"x"}), "", {kExt, sendFails(kExtFn)}, fault(kSendto, EPERM)),
    };
    for (int which = 0; which < 3; ++which) {
        const CallFn writes = [which](uint8_t*) { return setUp(which).key() != Setup{false}.key(); };
        rows.push_back(refused("setup_without_argument_" + std::to_string(which), writes, {setupInvalid}));
    }
    // Any one of the seven runtime arguments makes the extended form.
    for (std::size_t i = 0; i < 6; ++i) {
        std::array<const char*, 6> texts{};
        texts[i] = "x";
        const std::string sent = updateAb("00", repeat("0000", i + 1) + "00017800" + repeat("0000", 5 - i));
        rows.push_back({"ext_text_" + std::to_string(i), ext(nullptr, texts), true, sent, {kExt}});
    }
    return rows;
}

std::vector<CallRow> queryRows()
{
    static uint8_t untouched = 7; // refused before anything is written to the value or the socket
    const auto nullPointers = [](const char* rowName, const char* name, uint8_t* value) {
        const std::string text = kRead + ": Null pointer detected: pntId=" + pointerText(name) + " value=";
        const CallFn call = [=](uint8_t*) { return read_marl_point(name, value) || untouched != 7; };
        return refused(rowName, call, {crit("Null pointer", text + pointerText(value))});
    };
    const auto tooShort = [](int size) {
        return crit("reply too short,", kRead + " reply too short, numBytes " + std::to_string(size));
    };
    const auto code = [](const char* isSet, const char* rc) { return reply("8c02", isSet, rc); };
    const LogLine selectFails = crit("select failed", kRead + " select failed numFd -1 errno Interrupted "
                                                               "system call");
    const LogLine beyond = crit("beyond the", kRead + " socket 1024 is beyond the 1024 descriptors select "
                                                      "can watch");
    const LogLine unready = crit("invalid numFd", kRead + " socket returns invalid numFd 1");
    const LogLine unexpected = crit("unexpected", kRead + " unexpected msg 35840");
    const LogLine receiveFails = crit("recv failed", kRead + " recv failed, numBytes -1");
    static const std::string q1000(1000, 'q');
    return {
        {"query_set", query("ab"), true, kQueryAb, {}, kSetReply, 1},
        fails("query_send_fails", query("ab"), "", {sendFails(kRead)}, fault(kSendto, EPERM)),
        refused("query_empty_name", query(kEmpty), {nameRefused(kRead, kEmpty)}),
        {"query_allocation_fails", withoutMemory(query("ab")), true, kQueryAb, {kUnable}, kSetReply, 1},
        {"query_socket_fails", withoutSocket(query("ab")), true, kQueryAb, {kNoSocket}, kSetReply, 1, 2},
        {"query_clear_on_fd_0", onDescriptor0(query("ab")), true, kQueryAb, {}, code("00", "00000000"), 0, 1,
         closeStdin},
        {"other_return_code_counts", query("ab"), true, kQueryAb, {}, code("01", "00000007"), 1},
        {"reply_of_45_bytes", query("ab"), true, kQueryAb, {}, reply("8c02", "01", "00000000", 45), 1},
        {"reply_over_the_buffer", query("ab"), true, kQueryAb, {}, reply("8c02", "01", "00000000", 1000), 1},
        {"invalid_point", query("ab"), false, kQueryAb, {crit("invalid point %s", kRead + " invalid point ab")},
         code("01", "00000001")},
        {"update_identifier", query("ab"), false, kQueryAb, {unexpected}, reply("8c00", "01", "00000000")},
        {"reply_of_44_bytes", query("ab"), false, kQueryAb, {tooShort(44)}, reply("8c02", "01", "0000", 44)},
        {"empty_reply", query("ab"), false, kQueryAb, {tooShort(0)}, Bytes{}},
        {"name_of_1000", query(q1000.c_str()), true, head("8c01", 1044) + "000003e8" + repeat("71", 1000), {},
         code("00", "00000000"), 0},
        fails("select_fails", query("ab"), kQueryAb, {selectFails}, fault(kSelect, EINTR)),
        fails("select_without_the_socket", query("ab"), kQueryAb, {unready}, [] {
            platform().selectReturnsUnready = 1;
        }),
        fails("receive_fails", query("ab"), kQueryAb, {receiveFails}, fault(kRecvfrom, ECONNREFUSED), kSetReply),
        // select watches descriptors below FD_SETSIZE (1024) only.
        {"socket_1023_is_watched", query("ab"), true, kQueryAb, {}, kSetReply, 1, 1, descriptorsUpTo(1022)},
        fails("socket_1024_is_refused", query("ab"), "", {beyond}, descriptorsUpTo(1023)),
        {"query_times_out_and_its_late_reply_answers_the_next", timesOut, true, kQueryAb,
         {crit("times out", kRead + " times out")}, std::nullopt, 1},
        nullPointers("null_name", nullptr, &untouched),
        nullPointers("null_value", "ab", nullptr),
        nullPointers("null_both", nullptr, nullptr),
    };
}

// The prefix puts "client" in every CTest name, for `ctest -R client`.
const auto rowName = [](const auto& p) { return p.param.name; };
INSTANTIATE_TEST_SUITE_P(client_updates, ClientCall, ::testing::ValuesIn(updateRows()), rowName);
INSTANTIATE_TEST_SUITE_P(client_queries, ClientCall, ::testing::ValuesIn(queryRows()), rowName);

} // namespace
