// Load on marld through the library, on loopback: eight threads each raise,
// then clear, 100,000 points of their own (MARL_LOAD_POINTS), twice, and
// query as they go. Afterwards the process holds one library socket, marld
// has taken in and accepted every datagram sent, and neither process grew
// from the first round to the second.
//
// UDP has no flow control: each thread queries its latest point whenever it
// has its share of half of marld's receive buffer in flight, and the reply
// (which must show that point as just sent) confirms that marld handled
// everything before it, so that any loss is a fault.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "child_process.h"
#include "marlclient.h"
#include "test_support.h"

namespace {

constexpr std::size_t kThreads = 8;
constexpr long kReceiveBuffer = 4194304;

// The number after `key` in a /proc file (the first one without a key).
long fileNumber(const std::string& path, const std::string& key = "")
{
    std::ifstream file(path);
    for (std::string word; !key.empty() && file >> word && word != key;) {
    }
    long value = -1;
    file >> value;
    return value;
}

long socketDescriptors()
{
    std::error_code error; // the iterator's own descriptor is gone by the time it is read
    return std::ranges::count_if(std::filesystem::directory_iterator("/proc/self/fd"), [&](const auto& fd) {
        return std::filesystem::read_symlink(fd.path(), error).string().starts_with("socket:");
    });
}

TEST(LoadTest, EveryUpdateArrivesOneSocketNoGrowth)
{
    const char* scale = std::getenv("MARL_LOAD_POINTS");
    const std::size_t points = scale != nullptr ? std::stoul(scale) : 100000;
    // marld's receive buffer as the kernel grants it (capped at the host's
    // net.core.rmem_max), in datagrams of at most 1 KiB, halved, shared out.
    const long granted = std::min(kReceiveBuffer, fileNumber("/proc/sys/net/core/rmem_max"));
    const std::size_t window = static_cast<std::size_t>(std::clamp(granted / 2048, 64L, 1000L)) / kThreads;
    ASSERT_EQ(socketDescriptors(), 0);
    marltest::MarldProcess marld({"--quiet", "--max-points", std::to_string(points * kThreads), "--rcvbuf",
                                  std::to_string(kReceiveBuffer)},
                                 false);
    ASSERT_NE(marld.port(), 0) << marld.stderrText();
    const std::uint64_t kernelDropsBefore = marltest::udpCounter("RcvbufErrors");
    std::atomic<std::uint64_t> queries{0}, failures{0};
    long rssKiB[2][2] = {}; // [round][client, marld]
    for (auto& [client, service] : rssKiB) {
        std::vector<std::jthread> threads;
        for (std::size_t thread = 0; thread < kThreads; ++thread) {
            threads.emplace_back([&, thread] {
                for (std::size_t i = 0; i < 2 * points; ++i) {
                    const std::size_t point = i % points;
                    const std::uint8_t value = i < points; // raise all, then clear all
                    const std::string name = "load/" + std::to_string(thread) + "/" + std::to_string(point);
                    std::uint8_t read = 2;
                    failures += !update_marl_point(name.c_str(), value);
                    if ((point + 1) % window == 0 || point + 1 == points) {
                        ++queries;
                        failures += !read_marl_point(name.c_str(), &read) || read != value;
                    }
                }
            });
        }
        threads.clear(); // joins them
        client = fileNumber("/proc/self/status", "VmRSS:");
        service = fileNumber("/proc/" + std::to_string(marld.pid()) + "/status", "VmRSS:");
    }
    EXPECT_EQ(socketDescriptors(), 1) << "the library's one socket";
    EXPECT_EQ(failures, 0u);
    ASSERT_EQ(marld.stop(), 0) << marld.stderrText();
    const std::string out = marld.stdoutText();
    const auto counter = [&](const char* name) { return marltest::marldCounter(out, name).value_or(~0ULL); };
    const std::uint64_t updates = 4 * points * kThreads;
    const std::uint64_t kernelDrops = marltest::udpCounter("RcvbufErrors") - kernelDropsBefore;
    EXPECT_EQ(std::vector({counter("updates"), counter("queries"), counter("received"), counter("dropped"),
                           counter("receive-errors"), kernelDrops}),
              std::vector<std::uint64_t>({updates, queries, updates + queries, 0, 0, 0}))
        << "updates, queries, received, dropped, receive errors, kernel drops";
    EXPECT_EQ(out.find("\nupdate "), std::string::npos) << "--quiet prints no update lines";
    // The second round makes the same calls on the same points: a leak of
    // even one byte per update would show as 1.6 MB here.
#ifndef __SANITIZE_THREAD__ // its shadow memory and histories grow by themselves; ASan's leak check stays
    EXPECT_LE(rssKiB[1][0] - rssKiB[0][0], 1024) << "client RSS grew in the second round";
#endif
    EXPECT_LE(rssKiB[1][1] - rssKiB[0][1], 1024) << "marld's RSS grew in the second round";
}

} // namespace
