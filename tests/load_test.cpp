// Load on marld through the library, on loopback: eight threads each raise,
// then clear, 100,000 points of their own (MARL_LOAD_POINTS), twice, and
// query as they go. Afterwards the process holds one library socket, marld
// has taken in and accepted every datagram sent, and it did not grow from
// the first round to the second.
//
// UDP has no flow control: each thread queries its latest point after every
// few updates, and the reply (which must show that point as just sent)
// confirms that marld handled everything before it. All threads together
// never have more than 64 datagrams of at most 1 KiB in flight, far below
// any receive buffer marld gets, so that any loss is a fault.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "child_process.h"
#include "marlclient.h"
#include "test_support.h"

constexpr std::size_t kThreads = 8;

static long socketDescriptors()
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
    marltest::MarldProcess marld({"--quiet", "--max-points", std::to_string(points * kThreads)}, false);
    ASSERT_NE(marld.port(), 0) << marld.stderrText();
    std::atomic<std::uint64_t> queries{0}, failures{0};
    long residentPages[2] = {}; // marld's, after each round
    for (long& pages : residentPages) {
        std::vector<std::jthread> threads;
        for (std::size_t thread = 0; thread < kThreads; ++thread) {
            threads.emplace_back([&, thread] {
                for (std::size_t i = 0; i < 2 * points; ++i) {
                    const std::size_t point = i % points;
                    const std::uint8_t value = i < points; // raise all, then clear all
                    const std::string name = "load/" + std::to_string(thread) + "/" + std::to_string(point);
                    const bool query = (point + 1) % (64 / kThreads) == 0 || point + 1 == points;
                    std::uint8_t read = 2;
                    failures += !update_marl_point(name.c_str(), value);
                    queries += query;
                    failures += query && (!read_marl_point(name.c_str(), &read) || read != value);
                }
            });
        }
        threads.clear(); // joins them
        // statm: the size, then the resident pages, which overwrite it.
        std::ifstream("/proc/" + std::to_string(marld.pid()) + "/statm") >> pages >> pages;
    }
    EXPECT_EQ(socketDescriptors(), 1) << "the library's one socket";
    EXPECT_EQ(failures, 0u);
    ASSERT_EQ(marld.stop(), 0) << marld.stderrText();
    const std::string out = marld.stdoutText();
    const auto counter = [&](const char* name) { return marltest::marldCounter(out, name).value_or(~0ULL); };
    EXPECT_EQ(std::vector({counter("updates"), counter("queries"), counter("received")}),
              std::vector<std::uint64_t>({4 * points * kThreads, queries, 4 * points * kThreads + queries}));
    EXPECT_EQ(out.find("\nupdate "), std::string::npos) << "--quiet prints no update lines";
    // The second round makes the same calls on the same points: a leak of
    // even one byte per update would show as 1.6 MB here.
    EXPECT_LE((residentPages[1] - residentPages[0]) * sysconf(_SC_PAGESIZE), 1 << 20) << "marld grew";
}
