// read_marl_point against a scripted service: the query on the wire, each
// kind of reply, and every way the wait and the receive can fail.
#include <sys/resource.h>
#include <sys/select.h>
#include <syslog.h>

#include <barrier>
#include <cerrno>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include "client_fixture.h"

using marltest::ClientTest;
using marltest::hexBytes;
using marltest::LogLine;
using marltest::platform;

namespace {

constexpr const char* kZeroHeaderTail = "00000000 0000 0000 00000000 00000000 00000000 00000000 00000000 00000000";

// A reply of `size` bytes: identifier, zeros, pointIsSet at 40, returnCode
// at 41, pointNameLength 0 at 45 when it fits.
std::vector<std::uint8_t> reply(std::uint32_t id, std::uint8_t pointIsSet, std::uint32_t returnCode,
                                std::size_t size = 49)
{
    std::vector<std::uint8_t> bytes(std::max<std::size_t>(size, 45), 0);
    marl::ByteWriter writer(bytes.data(), bytes.size());
    marl::ByteWriter atField(bytes.data() + 40, bytes.size() - 40);
    if (!writer.putU32(id) || !atField.putU8(pointIsSet) || !atField.putU32(returnCode)) {
        throw std::logic_error("reply too small");
    }
    bytes.resize(size);
    return bytes;
}

class QueryTest : public ClientTest {
protected:
    // Answers the next datagram that reaches the service with `answer` (none:
    // no answer), from another thread; the future yields the query as it
    // arrived.
    std::future<std::vector<std::uint8_t>> answerNextQueryWith(std::optional<std::vector<std::uint8_t>> answer)
    {
        return std::async(std::launch::async, [this, answer] {
            sockaddr_in sender{};
            auto query = service.receive(sender, 5000);
            if (query && answer) {
                service.sendTo(sender, *answer);
            }
            return query.value_or(std::vector<std::uint8_t>{});
        });
    }
};

TEST_F(QueryTest, SendsTheQueryOfPointAbAndWaitsTenSecondsAtMost)
{
    auto query = answerNextQueryWith(reply(0x8C02, 1, 0));
    std::uint8_t value = 7;
    EXPECT_TRUE(read_marl_point("ab", &value));
    EXPECT_EQ(value, 1);
    EXPECT_EQ(query.get(), hexBytes(std::string("00008c01 0000002e") + kZeroHeaderTail + "00000002 6162"));
    EXPECT_EQ(platform().lastSelectSeconds, 0);
    EXPECT_EQ(platform().lastSelectMicroseconds, 10000000);
    EXPECT_TRUE(platform().logs().empty());
}

// One row per reply: what the query returns, what *value holds after it
// (it starts at 7), and the one line logged, if any.
struct ReplyCase {
    const char* name;
    std::vector<std::uint8_t> answer;
    bool result;
    std::uint8_t value;
    const char* needle; // nullptr: nothing logged
    const char* text;
};

class QueryReply : public QueryTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(QueryReply, IsTakenOrRefused)
{
    const ReplyCase& row = GetParam();
    auto query = answerNextQueryWith(row.answer);
    std::uint8_t value = 7;
    EXPECT_EQ(read_marl_point("ab", &value), row.result);
    EXPECT_EQ(value, row.value);
    std::vector<LogLine> expected;
    if (row.needle != nullptr) {
        expected.push_back(clientLog(LOG_CRIT, row.needle, row.text));
    }
    EXPECT_EQ(platform().logs(), expected);
    query.wait();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, QueryReply,
    ::testing::Values(
        ReplyCase{"set", reply(0x8C02, 1, 0), true, 1, nullptr, nullptr},
        ReplyCase{"clear", reply(0x8C02, 0, 0), true, 0, nullptr, nullptr},
        ReplyCase{"other_return_code_counts", reply(0x8C02, 1, 7), true, 1, nullptr, nullptr},
        ReplyCase{"exactly_45_bytes", reply(0x8C02, 1, 0, 45), true, 1, nullptr, nullptr},
        ReplyCase{"longer_than_the_buffer", reply(0x8C02, 1, 0, 1000), true, 1, nullptr, nullptr},
        ReplyCase{"invalid_point", reply(0x8C02, 1, 1), false, 7, "invalid point %s",
                  "read_marl_point invalid point ab"},
        ReplyCase{"update_identifier", reply(0x8C00, 1, 0), false, 7, "unexpected msg",
                  "read_marl_point unexpected msg 35840"},
        ReplyCase{"one_byte_short", reply(0x8C02, 1, 0, 44), false, 7, "reply too short, numBytes",
                  "read_marl_point reply too short, numBytes 44"},
        ReplyCase{"empty", {}, false, 7, "reply too short, numBytes", "read_marl_point reply too short, numBytes 0"}),
    [](const auto& param) { return std::string(param.param.name); });

// Faults of the wait and the receive, injected at the platform calls.
struct FaultCase {
    const char* name;
    std::atomic<int> marltest::Platform::*fault;
    int injected;
    const char* needle;
    const char* text;
};

class QueryFault : public QueryTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(QueryFault, IsLoggedAndLeavesTheValueAlone)
{
    const FaultCase& row = GetParam();
    (platform().*row.fault) = row.injected;
    auto query = answerNextQueryWith(reply(0x8C02, 1, 0));
    std::uint8_t value = 7;
    EXPECT_FALSE(read_marl_point("ab", &value));
    EXPECT_EQ(value, 7);
    EXPECT_EQ(platform().logs(), std::vector<LogLine>({clientLog(LOG_CRIT, row.needle, row.text)}));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, QueryFault,
    ::testing::Values(
        FaultCase{"select_fails", &marltest::Platform::selectFailErrno, EINTR, "select failed",
                  "read_marl_point select failed numFd -1 errno Interrupted system call"},
        FaultCase{"select_without_the_descriptor", &marltest::Platform::selectReturnsUnready, 1,
                  "returns invalid numFd", "read_marl_point socket returns invalid numFd 1"},
        FaultCase{"receive_fails", &marltest::Platform::recvfromFailErrno, ECONNREFUSED, "recv failed",
                  "read_marl_point recv failed, numBytes -1"}),
    [](const auto& param) { return std::string(param.param.name); });

// Threads querying at once, answered in arrival order: each gets the reply to
// its own query, told apart by the state that its name asks the service for.
TEST_F(QueryTest, ConcurrentQueriesEachGetTheReplyToTheirOwnQuery)
{
    constexpr int kThreads = 8;
    constexpr int kRounds = 4;
    auto answered = std::async(std::launch::async, [this] {
        int count = 0;
        for (sockaddr_in sender{}; count < kThreads * kRounds; ++count) {
            const auto query = service.receive(sender, 5000);
            if (!query || !service.sendTo(sender, reply(0x8C02, query->back() == '1' ? 1 : 0, 0))) {
                break;
            }
        }
        return count;
    });
    std::barrier start(kThreads);
    std::vector<int> rightAnswers(kThreads, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            const std::string name = "point-" + std::to_string(i) + "-" + std::to_string(i % 2);
            start.arrive_and_wait();
            for (int round = 0; round < kRounds; ++round) {
                std::uint8_t value = 7;
                rightAnswers[static_cast<std::size_t>(i)] += read_marl_point(name.c_str(), &value) && value == i % 2;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(answered.get(), kThreads * kRounds);
    EXPECT_EQ(rightAnswers, std::vector<int>(kThreads, kRounds));
    EXPECT_TRUE(platform().logs().empty());
}

// Each row: which argument is null; the message shows both pointers.
class QueryNullArgument : public QueryTest, public ::testing::WithParamInterface<int> {};

TEST_P(QueryNullArgument, IsRefusedBeforeTheSocket)
{
    std::uint8_t value = 7;
    const char* name = GetParam() & 1 ? nullptr : "ab";
    std::uint8_t* out = GetParam() & 2 ? nullptr : &value;
    EXPECT_FALSE(read_marl_point(name, out));
    EXPECT_EQ(platform().logs(),
              std::vector<LogLine>({clientLog(LOG_CRIT, "Null pointer detected",
                                              "read_marl_point: Null pointer detected: pntId=" + pointerText(name) +
                                                  " value=" + pointerText(out))}));
    EXPECT_EQ(platform().socketCalls, 0);
    EXPECT_EQ(value, 7);
}

std::string nullArgumentName(const ::testing::TestParamInfo<int>& param)
{
    return param.param == 1 ? "name" : param.param == 2 ? "value" : "both";
}

INSTANTIATE_TEST_SUITE_P(Each, QueryNullArgument, ::testing::Values(1, 2, 3), nullArgumentName);

TEST_F(QueryTest, EmptyNameIsRefusedBeforeTheSocket)
{
    const char* empty = "";
    std::uint8_t value = 7;
    EXPECT_FALSE(read_marl_point(empty, &value));
    EXPECT_EQ(platform().logs(), std::vector<LogLine>({clientLog(LOG_CRIT, "%s: pntId is empty",
                                                                 "read_marl_point: pntId is empty. Its address is " +
                                                                     pointerText(empty))}));
    EXPECT_EQ(platform().socketCalls, 0);
}

TEST_F(QueryTest, SendFailureIsLoggedWithTheErrorAndNothingIsAwaited)
{
    platform().sendtoFailErrno = EPERM;
    std::uint8_t value = 7;
    EXPECT_FALSE(read_marl_point("ab", &value));
    EXPECT_EQ(platform().selectCalls, 0);
    EXPECT_EQ(platform().logs(),
              std::vector<LogLine>({clientLog(LOG_CRIT, "sendto failed",
                                              "read_marl_point sendto failed Operation not permitted pntId ab")}));
}

TEST_F(QueryTest, NamesAreNotLimitedToTheUpdateMaximum)
{
    const std::string name(1000, 'q');
    auto query = answerNextQueryWith(reply(0x8C02, 0, 0));
    std::uint8_t value = 7;
    EXPECT_TRUE(read_marl_point(name.c_str(), &value));
    const auto sent = query.get();
    ASSERT_EQ(sent.size(), 1044u);
    EXPECT_EQ(std::vector<std::uint8_t>(sent.begin() + 4, sent.begin() + 8), hexBytes("00000414"));
    EXPECT_EQ(std::vector<std::uint8_t>(sent.begin() + 40, sent.begin() + 44), hexBytes("000003e8"));
}

TEST_F(QueryTest, SocketFailureLogsOnlyTheSetupLine)
{
    platform().failAllocation(0);
    const LogLine expected = clientLog(LOG_CRIT, "remote socket creation failed",
                                       "setup_marl_socket remote socket creation failed fd -1 errno Too many open files");
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit none = saved;
    none.rlim_cur = 0; // no descriptor at all can be created
    setrlimit(RLIMIT_NOFILE, &none);
    std::uint8_t value = 7;
    const bool result = read_marl_point("ab", &value);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_FALSE(result);
    EXPECT_EQ(platform().logs(), std::vector<LogLine>({expected}));
}

// The reply to a query that timed out stays queued and answers the next
// query: one wait, one datagram, no matching.
TEST_F(QueryTest, TimesOutAfterTenSecondsAndTheLateReplyAnswersTheNextQuery)
{
    sockaddr_in client{};
    auto late = std::async(std::launch::async, [&] {
        auto query = service.receive(client, 5000);
        return query.has_value();
    });
    std::uint8_t value = 7;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(read_marl_point("ab", &value));
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GE(waited, std::chrono::milliseconds(9900));
    EXPECT_EQ(platform().logs(), std::vector<LogLine>({clientLog(LOG_CRIT, "times out", "read_marl_point times out")}));

    ASSERT_TRUE(late.get());
    service.sendTo(client, reply(0x8C02, 1, 0));
    auto second = answerNextQueryWith(std::nullopt); // takes the second query, answers nothing
    EXPECT_TRUE(read_marl_point("other", &value));
    EXPECT_EQ(value, 1);
    second.wait();
}

} // namespace
