// The client's operations against a scripted service: every datagram byte
// for byte, every refusal and failure with its exact log line, and the
// shared socket. The library's socket lives as long as the process, so each
// test runs in a process of its own (CTest does so).
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <syslog.h>
#include <unistd.h>

#include <barrier>
#include <cerrno>
#include <functional>
#include <future>
#include <set>
#include <thread>

#include "cmnHal.h"
#include "marlclient.h"
#include "platform_interposer.h"
#include "test_support.h"

using namespace marltest;

namespace {

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int testsInThisProcess = 0;
        ASSERT_EQ(++testsInThisProcess, 1) << "one process per test: run it through ctest or with --gtest_filter";
        unsetenv(CMN_HAL_CENTRAL_ADDRESS_ENV);
        platform().service = Platform::Service::FakePort;
        platform().servicePort = service.port();
        platform().resetCounters(); // the service's own socket is not the library's
    }

    UdpPeer service;
};

LogLine logged(int priority, const std::string& needle, const std::string& text)
{
    return {priority, taggedLine("marl/module/marlengine/src/marlclient.cpp", needle, text)};
}
LogLine crit(const std::string& needle, const std::string& text = "")
{
    return logged(LOG_CRIT, needle, text.empty() ? needle : text);
}
const LogLine kExtEntry = logged(LOG_INFO, "update the marl point", "update_marl_point_ext: update the marl point with runtime info");

std::string pointerText(const void* pointer)
{
    char text[32];
    std::snprintf(text, sizeof text, "%p", pointer);
    return text;
}

std::string repeat(const std::string& text, std::size_t times)
{
    std::string repeated;
    while (times-- > 0) {
        repeated += text;
    }
    return repeated;
}

// A header with the identifier and length given, every other field zero.
std::string head(const char* id, std::size_t length)
{
    char text[24];
    std::snprintf(text, sizeof text, "0000%s %08zx ", id, length);
    return text + std::string(64, '0');
}
// An update of the point ab; an extended one carries `block` and `cut` zero bytes.
std::string updateAb(const char* setPoint, const std::string& block = "", std::size_t cut = 0, const char* id = "8c04")
{
    const std::size_t length = 48 + hexBytes(block).size() + cut;
    return head(block.empty() ? "8c00" : id, length) + setPoint + " 00 00000002 6162" + block + std::string(2 * cut, '0');
}
const std::string kQueryAb = head("8c01", 46) + "00000002 6162";

// A reply of `size` bytes: identifier, pointIsSet at 40, returnCode at 41.
Bytes reply(const char* id, const char* isSet, const char* code, std::size_t size = 49)
{
    Bytes bytes = hexBytes(head(id, size) + isSet + code + "00000000");
    bytes.resize(size);
    return bytes;
}

const char* const kEmpty = "";
const char* const kAb = "ab";
const t_threshold_info kThreshold{const_cast<char*>("a"), {const_cast<char*>("b"), 1.0F, 2.0F}, 0.5F, 16};
const std::string kLongId(100, 'i');
const t_threshold_info kLongIdRecord{const_cast<char*>(kLongId.c_str()), {nullptr, 0.0F, 0.0F}, 0.0F, -1};
const std::string kNoTexts = repeat("0000", 6);

const LogLine kUnable = crit("Unable to allocate buffer");

// Runs `call` twice: first with its first allocation failing, which must
// fail, then with memory again.
std::function<bool(std::uint8_t*)> withoutMemory(std::function<bool(std::uint8_t*)> call)
{
    return [=](std::uint8_t* value) {
        platform().failAllocation(1);
        const bool failed = !call(value);
        platform().failAllocation(0);
        return failed && call(value);
    };
}

bool ext(const char* name, const t_threshold_info* threshold, std::array<const char*, 6> t = {})
{
    return update_marl_point_ext(name, 0, threshold, t[0], t[1], t[2], t[3], t[4], t[5]);
}

// One call: what it returns, sends and logs, what *value holds afterwards
// (it starts at 7), and whether it needs the shared socket at all.
struct CallRow {
    std::string name;
    std::function<bool(std::uint8_t*)> call;
    bool result;
    std::string sent; // hex; empty when nothing is sent
    std::vector<LogLine> logs;
    std::optional<Bytes> answer = std::nullopt; // the service's reply
    std::uint8_t value = 7;
    bool socket = true;
    std::function<void()> arrange = [] {};
};

class Call : public ClientTest, public ::testing::WithParamInterface<CallRow> {};

TEST_P(Call, SendsLogsAndReturnsExactlyThis)
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
    EXPECT_EQ(platform().socketCalls, row.socket ? 1 : 0);
    if (platform().selectCalls > 0) {
        EXPECT_EQ(platform().lastSelectSeconds, 0);
        EXPECT_EQ(platform().lastSelectMicroseconds, 10000000);
    }
}

std::vector<CallRow> updateRows()
{
    const auto update = [](const char* name, std::uint8_t v) { return [=](std::uint8_t*) { return update_marl_point(name, v); }; };
    const auto setupWithout = [](int which) {
        return [which](std::uint8_t*) {
            int fd = -7;
            int size = -7;
            sockaddr_in address{};
            return setup_marl_socket(which == 0 ? nullptr : &fd, which == 1 ? nullptr : &address,
                                     which == 2 ? nullptr : &size) ||
                   fd != -7 || size != -7 || address.sin_port != 0;
        };
    };
    const auto extWith = [](const t_threshold_info* threshold, std::array<const char*, 6> texts, const char* name = "ab") {
        return [=](std::uint8_t*) { return ext(name, threshold, texts); };
    };
    static const std::string n600(600, 'n');
    static const std::string n601(601, 'n');
    const LogLine setupInvalid = logged(LOG_ERR, "Invalid input parameter\"", "setup_marl_socket: Invalid input parameter");
    std::vector<CallRow> rows{
        {"raise_ab", update("ab", 1), true, updateAb("01"), {}},
        {"clear_ab", update("ab", 0), true, updateAb("00"), {}},
        {"value_2", update("ab", 2), true, updateAb("01"), {}},
        {"name_of_600", update(n600.c_str(), 1), true, head("8c00", 646) + "01 00 00000258" + repeat("6e", 600), {}},
        {"name_of_601", update(n601.c_str(), 1), false, "", {crit("Maximum message length exceeded")}},
        {"null_name", update(nullptr, 1), false, "", {crit("Point ID is a null pointer", "update_marl_point: Point ID is a null pointer")}, {}, 7, false},
        {"empty_name", update(kEmpty, 1), false, "",
         {crit("pntId is empty", "update_marl_point: pntId is empty. Its address is " + pointerText(kEmpty))}, {}, 7, false},
        {"send_fails", update("ab", 1), false, "",
         {crit("sendto failed", "update_marl_point sendto failed Operation not permitted pntId ab")}, {}, 7, true,
         [] { platform().sendtoFailErrno = EPERM; }},
        // The datagram's buffer cannot be allocated: refused, and the next call, with memory, goes out.
        {"allocation_fails", withoutMemory(update("ab", 1)), true, updateAb("01"), {kUnable}},
        {"ext_allocation_fails", withoutMemory(extWith(&kThreshold, {"x"})), true,
         updateAb("00", "0016 00016100 00016200 3f800000 40000000 3f000000 00000010 00017800" + repeat("0000", 5)), {kExtEntry, kUnable, kExtEntry}},
        {"setup_without_sockfd", setupWithout(0), false, "", {setupInvalid}, {}, 7, false},
        {"setup_without_address", setupWithout(1), false, "", {setupInvalid}, {}, 7, false},
        {"setup_without_size", setupWithout(2), false, "", {setupInvalid}, {}, 7, false},
    };
    // Any one of the seven runtime arguments makes the extended form.
    for (std::size_t i = 0; i < 6; ++i) {
        rows.push_back({"ext_text_" + std::to_string(i), [i](std::uint8_t*) {
                            std::array<const char*, 6> texts{};
                            texts[i] = "x";
                            return ext("ab", nullptr, texts);
                        },
                        true, updateAb("00", "0000" + repeat("0000", i) + "00017800" + repeat("0000", 5 - i)), {kExtEntry}});
    }
    static const std::string t583(583, 't');
    static const std::string t584(584, 't');
    rows.insert(rows.end(), {
        {"ext_threshold", extWith(&kThreshold, {}), true,
         updateAb("00", "0016 00016100 00016200 3f800000 40000000 3f000000 00000010" + kNoTexts), {kExtEntry}},
        // Cut texts keep the datagram at the uncut length: zero bytes end it.
        {"ext_attribute_id_of_100", extWith(&kLongIdRecord, {}), true,
         updateAb("00", "0016 0050" + repeat("69", 80) + "00 0000 00000000 00000000 00000000 ffffffff" + kNoTexts, 20), {kExtEntry}},
        {"ext_empty_text", extWith(nullptr, {""}), true, updateAb("00", "0000" + kNoTexts, 1), {kExtEntry}},
        {"ext_service_user_of_33", extWith(nullptr, {nullptr, "0123456789abcdef0123456789abcdefX"}), true,
         updateAb("00", "0000 0000 0020" + repeat("30313233343536373839616263646566", 2) + "00" + repeat("0000", 4), 1), {kExtEntry}},
        // The limit counts the texts uncut: 46 + 2 + 2 + 2 + 583 + 1 + 5 * 2 is 646.
        {"ext_fills_the_limit", extWith(nullptr, {t583.c_str()}), true,
         updateAb("00", "0000 0080" + repeat("74", 128) + "00" + repeat("0000", 5), 455), {kExtEntry}},
        {"ext_one_byte_over", extWith(nullptr, {t584.c_str()}), false, "", {kExtEntry, crit("Maximum message length exceeded")}},
        {"ext_falls_back", extWith(nullptr, {}), true, updateAb("00"),
         {kExtEntry, logged(LOG_INFO, "no runtime info", "update_marl_point_ext: no runtime info, call update_marl_point instead")}},
        {"ext_null_name", extWith(nullptr, {}, nullptr), false, "",
         {kExtEntry, crit("Point ID is a null pointer", "update_marl_point_ext: Point ID is a null pointer")}, {}, 7, false},
        {"ext_empty_name", extWith(nullptr, {"x"}, kEmpty), false, "",
         {kExtEntry, crit("pntId is empty", "update_marl_point_ext: pntId is empty. Its address is " + pointerText(kEmpty))}, {}, 7, false},
        {"ext_send_fails", extWith(&kThreshold, {"x"}), false, "",
         {kExtEntry, crit("sendto failed", "update_marl_point_ext sendto failed Operation not permitted pntId ab")}, {}, 7, true,
         [] { platform().sendtoFailErrno = EPERM; }},
    });
    return rows;
}

std::vector<CallRow> queryRows()
{
    const auto query = [](const char* name) { return [=](std::uint8_t* value) { return read_marl_point(name, value); }; };
    // Refused before anything is written to the value or the socket.
    static std::uint8_t untouched = 7;
    const auto nullPointers = [](const char* rowName, const char* name, std::uint8_t* value) {
        return CallRow{rowName, [=](std::uint8_t*) { return read_marl_point(name, value) || untouched != 7; }, false, "",
                       {crit("Null pointer detected", "read_marl_point: Null pointer detected: pntId=" + pointerText(name) +
                                                          " value=" + pointerText(value))},
                       {}, 7, false};
    };
    static const std::string q1000(1000, 'q');
    const auto fault = [](std::atomic<int> Platform::*which, int injected) { return [=] { platform().*which = injected; }; };
    std::vector<CallRow> rows{
        {"query_set", query("ab"), true, kQueryAb, {}, reply("8c02", "01", "00000000"), 1},
        {"query_allocation_fails", withoutMemory(query("ab")), true, kQueryAb, {kUnable}, reply("8c02", "01", "00000000"), 1},
        {"query_clear", query("ab"), true, kQueryAb, {}, reply("8c02", "00", "00000000"), 0},
        {"other_return_code_counts", query("ab"), true, kQueryAb, {}, reply("8c02", "01", "00000007"), 1},
        {"reply_of_45_bytes", query("ab"), true, kQueryAb, {}, reply("8c02", "01", "00000000", 45), 1},
        {"reply_over_the_buffer", query("ab"), true, kQueryAb, {}, reply("8c02", "01", "00000000", 1000), 1},
        {"invalid_point", query("ab"), false, kQueryAb, {crit("invalid point %s", "read_marl_point invalid point ab")},
         reply("8c02", "01", "00000001")},
        {"update_identifier", query("ab"), false, kQueryAb, {crit("unexpected msg", "read_marl_point unexpected msg 35840")},
         reply("8c00", "01", "00000000")},
        {"reply_of_44_bytes", query("ab"), false, kQueryAb,
         {crit("reply too short, numBytes", "read_marl_point reply too short, numBytes 44")}, reply("8c02", "01", "00000000", 44)},
        {"empty_reply", query("ab"), false, kQueryAb, {crit("reply too short, numBytes", "read_marl_point reply too short, numBytes 0")}, Bytes{}},
        {"name_of_1000", query(q1000.c_str()), true, head("8c01", 1044) + "000003e8" + repeat("71", 1000), {},
         reply("8c02", "00", "00000000"), 0},
        {"select_fails", query("ab"), false, kQueryAb,
         {crit("select failed", "read_marl_point select failed numFd -1 errno Interrupted system call")}, std::nullopt, 7, true,
         fault(&Platform::selectFailErrno, EINTR)},
        {"select_without_the_socket", query("ab"), false, kQueryAb,
         {crit("returns invalid numFd", "read_marl_point socket returns invalid numFd 1")}, std::nullopt, 7, true,
         fault(&Platform::selectReturnsUnready, 1)},
        {"receive_fails", query("ab"), false, kQueryAb, {crit("recv failed", "read_marl_point recv failed, numBytes -1")},
         reply("8c02", "01", "00000000"), 7, true, fault(&Platform::recvfromFailErrno, ECONNREFUSED)},
        {"send_fails", query("ab"), false, "", {crit("sendto failed", "read_marl_point sendto failed Operation not permitted pntId ab")},
         std::nullopt, 7, true, fault(&Platform::sendtoFailErrno, EPERM)},
        {"empty_name", query(kEmpty), false, "",
         {crit("pntId is empty", "read_marl_point: pntId is empty. Its address is " + pointerText(kEmpty))}, {}, 7, false},
    };
    for (const CallRow& row : {nullPointers("null_name", nullptr, &untouched), nullPointers("null_value", kAb, nullptr),
                               nullPointers("null_both", nullptr, nullptr)}) {
        rows.push_back(row);
    }
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Updates, Call, ::testing::ValuesIn(updateRows()), [](const auto& p) { return p.param.name; });
INSTANTIATE_TEST_SUITE_P(Queries, Call, ::testing::ValuesIn(queryRows()), [](const auto& p) { return p.param.name; });

TEST_F(ClientTest, TheFirstSetupLooksTheAddressUpOnceForTheProcess)
{
    setenv(CMN_HAL_CENTRAL_ADDRESS_ENV, "127.0.0.9", 1);
    std::set<std::tuple<int, std::uint32_t, std::uint16_t, int>> seen;
    for (int call = 0; call < 3; ++call) {
        int fd = -1;
        int size = 0;
        sockaddr_in address{};
        ASSERT_TRUE(setup_marl_socket(&fd, &address, &size));
        EXPECT_EQ(address.sin_family, AF_INET);
        seen.insert({fd, address.sin_addr.s_addr, address.sin_port, size});
        // A changed configuration is not seen by a running process.
        setenv(CMN_HAL_CENTRAL_ADDRESS_ENV, "127.0.0.10", 1);
        platform().servicePort = static_cast<std::uint16_t>(service.port() + 1);
    }
    const int fd = std::get<0>(*seen.begin());
    EXPECT_EQ(seen, decltype(seen)({{fd, inet_addr("127.0.0.9"), htons(service.port()), 16}}));
    EXPECT_EQ(platform().socketCalls + platform().centralAddressCalls + platform().serviceLookups, 3);
    EXPECT_TRUE(platform().logs().empty());
}

TEST_F(ClientTest, WithoutAServicesEntryThePortStaysZero)
{
    platform().service = Platform::Service::Missing;
    for (int call = 0; call < 2; ++call) {
        int fd = -1;
        int size = 0;
        sockaddr_in address{};
        ASSERT_TRUE(setup_marl_socket(&fd, &address, &size));
        EXPECT_EQ(address.sin_port, 0);
        platform().service = Platform::Service::FakePort;
    }
    EXPECT_EQ(platform().serviceLookups, 1);
    EXPECT_EQ(platform().logs(), std::vector<LogLine>({{LOG_CRIT, taggedLine("base/export/basecommon/card/cardinetPortNumbersPlatform.h",
                                                                             "returned NULL", "getportbyname for marl returned NULL\n")}}));
}

// With every descriptor taken, socket() really fails: each operation says
// so, a query with the set-up's line alone, and the next call tries again.
TEST_F(ClientTest, AFailedSocketIsRetriedByTheNextCall)
{
    const LogLine creation = crit("remote socket creation failed",
                                  "setup_marl_socket remote socket creation failed fd -1 errno Too many open files");
    const LogLine setupFailed = crit("Failed to setup marl socket");
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit low = saved;
    low.rlim_cur = 64;
    setrlimit(RLIMIT_NOFILE, &low);
    std::vector<int> fillers;
    for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) {
        fillers.push_back(fd);
    }
    std::uint8_t value = 7;
    EXPECT_FALSE(update_marl_point("ab", 1));
    EXPECT_FALSE(update_marl_point_ext("ab", 1, nullptr, "x", nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(read_marl_point("ab", &value));
    for (const int fd : fillers) {
        close(fd);
    }
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(platform().logs(), std::vector<LogLine>({creation, setupFailed, kExtEntry, creation, setupFailed, creation}));
    EXPECT_EQ(platform().centralAddressCalls + platform().serviceLookups, 0) << "nothing is looked up without a socket";
    EXPECT_TRUE(update_marl_point("ab", 1));
    EXPECT_EQ(platform().socketCalls, 4);
    EXPECT_EQ(service.receive(), hexBytes(updateAb("01")));
}

TEST_F(ClientTest, ConcurrentFirstCallsShareOneSocket)
{
    constexpr int kThreads = 16;
    platform().socketDelayMs = 50; // every thread arrives while the first creates the socket
    std::barrier start(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            EXPECT_TRUE(update_marl_point(("point-" + std::to_string(i)).c_str(), 1));
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(platform().socketCalls + platform().serviceLookups + platform().centralAddressCalls, 3);
    std::set<Bytes> datagrams;
    while (auto datagram = service.receive(std::chrono::milliseconds(500))) {
        datagrams.insert(*datagram);
    }
    EXPECT_EQ(datagrams.size(), std::size_t{kThreads});
}

// One wait, one datagram: the reply to a query that timed out stays queued
// and answers the next query.
TEST_F(ClientTest, TimesOutAfterTenSecondsAndTheLateReplyAnswersTheNextQuery)
{
    sockaddr_in client{};
    auto late = std::async(std::launch::async, [&] { return service.receive(std::chrono::seconds(5), &client); });
    std::uint8_t value = 7;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(read_marl_point("ab", &value));
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(9900));
    EXPECT_EQ(platform().logs(), std::vector<LogLine>({crit("times out", "read_marl_point times out")}));
    ASSERT_TRUE(late.get());
    service.send(client, reply("8c02", "01", "00000000"));
    EXPECT_TRUE(read_marl_point("other", &value));
    EXPECT_EQ(value, 1);
}

struct AddressRow {
    const char* environment; // nullptr: unset
    const char* written;
    int result;
};
class CentralAddress : public ::testing::TestWithParam<AddressRow> {};

TEST_P(CentralAddress, ComesFromTheEnvironmentOrIsLoopback)
{
    const AddressRow& row = GetParam();
    row.environment ? setenv(CMN_HAL_CENTRAL_ADDRESS_ENV, row.environment, 1) : unsetenv(CMN_HAL_CENTRAL_ADDRESS_ENV);
    in_addr address{};
    EXPECT_EQ(cmn_hal_getCentralAddress(&address), row.result);
    EXPECT_EQ(address.s_addr, inet_addr(row.written));
    EXPECT_EQ(cmn_hal_getCentralAddress(nullptr), -1);
}

INSTANTIATE_TEST_SUITE_P(Rows, CentralAddress,
                         ::testing::Values(AddressRow{nullptr, "127.0.0.1", 0}, AddressRow{"10.20.30.40", "10.20.30.40", 0},
                                           AddressRow{"", "127.0.0.1", -1}, AddressRow{"central-node", "127.0.0.1", -1},
                                           AddressRow{"256.1.1.1", "127.0.0.1", -1}, AddressRow{"10.1.2.3 ", "127.0.0.1", -1}));

} // namespace
