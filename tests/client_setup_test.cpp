// The shared socket: created once per process, looked up once, retried after
// a failure, guarded against concurrent first calls.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <barrier>
#include <cstring>
#include <set>
#include <thread>

#include "client_fixture.h"

using marltest::ClientTest;
using marltest::LogLine;
using marltest::platform;
using marltest::Platform;

namespace {

// Which out-parameter of setup_marl_socket is null.
enum class NullArg { Sockfd, ServerAddr, SizeAddr };

std::string nullArgName(NullArg which)
{
    switch (which) {
    case NullArg::Sockfd:
        return "sockfd";
    case NullArg::ServerAddr:
        return "serverAddr";
    case NullArg::SizeAddr:
        break;
    }
    return "sizeAddr";
}

class SetupNullArgument : public ClientTest, public ::testing::WithParamInterface<NullArg> {};

TEST_P(SetupNullArgument, IsRefusedBeforeAnySocketExists)
{
    int fd = -7;
    int size = -7;
    sockaddr_in address{};
    address.sin_port = 0x1234;
    const NullArg which = GetParam();
    EXPECT_FALSE(setup_marl_socket(which == NullArg::Sockfd ? nullptr : &fd,
                                   which == NullArg::ServerAddr ? nullptr : &address,
                                   which == NullArg::SizeAddr ? nullptr : &size));
    EXPECT_EQ(platform().logs(), std::vector<LogLine>({clientLog(LOG_ERR, "Invalid input parameter\"",
                                                                 "setup_marl_socket: Invalid input parameter")}));
    EXPECT_EQ(platform().socketCalls, 0);
    EXPECT_EQ(fd, -7);
    EXPECT_EQ(size, -7);
    EXPECT_EQ(address.sin_port, 0x1234);
}

INSTANTIATE_TEST_SUITE_P(Each, SetupNullArgument,
                         ::testing::Values(NullArg::Sockfd, NullArg::ServerAddr, NullArg::SizeAddr),
                         [](const auto& param) { return nullArgName(param.param); });

TEST_F(ClientTest, FirstSetupCreatesTheSocketAndLooksTheAddressUpOnce)
{
    setenv("CMN_HAL_CENTRAL_ADDRESS", "127.0.0.9", 1);
    int fd = -1;
    int size = 0;
    sockaddr_in address{};
    ASSERT_TRUE(setup_marl_socket(&fd, &address, &size));
    EXPECT_GE(fd, 0);
    EXPECT_EQ(size, 16);
    EXPECT_EQ(address.sin_family, AF_INET);
    EXPECT_EQ(address.sin_addr.s_addr, inet_addr("127.0.0.9"));
    EXPECT_EQ(address.sin_port, htons(service.port()));

    // A changed configuration is not seen by a running process.
    setenv("CMN_HAL_CENTRAL_ADDRESS", "127.0.0.10", 1);
    platform().servicePort = static_cast<std::uint16_t>(service.port() + 1);
    for (int call = 0; call < 3; ++call) {
        int againFd = -1;
        int againSize = 0;
        sockaddr_in again{};
        ASSERT_TRUE(setup_marl_socket(&againFd, &again, &againSize));
        EXPECT_EQ(againFd, fd);
        EXPECT_EQ(againSize, 16);
        EXPECT_EQ(0, std::memcmp(&again, &address, sizeof address));
    }
    EXPECT_EQ(platform().socketCalls, 1);
    EXPECT_EQ(platform().centralAddressCalls, 1);
    EXPECT_EQ(platform().serviceLookups, 1);
    EXPECT_TRUE(platform().logs().empty());
}

TEST_F(ClientTest, MissingServiceEntryLeavesPortZeroAndSetupSucceeds)
{
    platform().service = Platform::Service::Missing;
    int fd = -1;
    int size = 0;
    sockaddr_in address{};
    ASSERT_TRUE(setup_marl_socket(&fd, &address, &size));
    EXPECT_EQ(address.sin_port, 0);
    const char* header = "base/export/basecommon/card/cardinetPortNumbersPlatform.h";
    EXPECT_EQ(platform().logs(),
              std::vector<LogLine>({{LOG_CRIT, "[" + std::string(header) + ":" +
                                                   std::to_string(marltest::sourceLineOf(header, "returned NULL")) +
                                                   "] getportbyname for marl returned NULL\n"}}));
    // The port stays 0 for the life of the process, without a new look-up.
    platform().service = Platform::Service::FakePort;
    ASSERT_TRUE(setup_marl_socket(&fd, &address, &size));
    EXPECT_EQ(address.sin_port, 0);
    EXPECT_EQ(platform().serviceLookups, 1);
}

// Lowers the descriptor limit and fills every free descriptor, so that the
// next socket() really fails with EMFILE; releaseOne() makes room for one.
class DescriptorsExhausted {
public:
    DescriptorsExhausted()
    {
        getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit low = saved_;
        low.rlim_cur = 64;
        setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) {
            fillers_.push_back(fd);
        }
    }
    ~DescriptorsExhausted()
    {
        for (int fd : fillers_) {
            close(fd);
        }
        setrlimit(RLIMIT_NOFILE, &saved_);
    }
    void releaseOne()
    {
        close(fillers_.back());
        fillers_.pop_back();
    }

private:
    rlimit saved_{};
    std::vector<int> fillers_;
};

TEST_F(ClientTest, SocketCreationFailureIsLoggedAndRetriedOnTheNextCall)
{
    // Read the expected tags from the source while descriptors are free.
    const std::vector<LogLine> expected{
        clientLog(LOG_CRIT, "remote socket creation failed",
                  "setup_marl_socket remote socket creation failed fd -1 errno Too many open files"),
        clientLog(LOG_CRIT, "Failed to setup marl socket", "Failed to setup marl socket")};
    DescriptorsExhausted exhausted;
    EXPECT_FALSE(update_marl_point("ab", 1));
    EXPECT_EQ(platform().logs(), expected);
    EXPECT_EQ(platform().centralAddressCalls, 0) << "no address is looked up without a socket";
    EXPECT_EQ(platform().serviceLookups, 0);

    exhausted.releaseOne();
    platform().clearLogs();
    EXPECT_TRUE(update_marl_point("ab", 1));
    EXPECT_TRUE(platform().logs().empty());
    EXPECT_EQ(platform().socketCalls, 2);
    EXPECT_TRUE(service.receive().has_value());
}

TEST_F(ClientTest, ConcurrentFirstCallsShareOneSocket)
{
    constexpr int kThreads = 16;
    // Hold the first socket() long enough for every other thread to arrive.
    platform().socketDelayMs = 50;
    std::barrier start(kThreads);
    std::vector<int> fds(kThreads, -1);
    // One element per thread: vector<bool> would pack them into shared words.
    std::vector<char> sent(kThreads, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            const std::string name = "point-" + std::to_string(i);
            sockaddr_in address{};
            int size = 0;
            start.arrive_and_wait();
            const bool ready = setup_marl_socket(&fds[static_cast<std::size_t>(i)], &address, &size);
            sent[static_cast<std::size_t>(i)] = ready && update_marl_point(name.c_str(), 1) ? 1 : 0;
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(platform().socketCalls, 1);
    EXPECT_EQ(platform().serviceLookups, 1);
    EXPECT_EQ(platform().centralAddressCalls, 1);
    EXPECT_EQ(std::set<int>(fds.begin(), fds.end()).size(), 1u);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), 1), kThreads);

    std::set<std::string> names;
    while (auto datagram = service.receive(500)) {
        names.emplace(datagram->begin() + 46, datagram->end());
    }
    EXPECT_EQ(names.size(), static_cast<std::size_t>(kThreads));
}

} // namespace
