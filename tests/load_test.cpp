// Load on marld through the library, on loopback: eight threads raise, then
// clear, 100,000 distinct points each (MARL_LOAD_POINTS), in two rounds,
// while two others query. Afterwards the process holds one library socket,
// marld has taken in and accepted every datagram sent, sampled points read
// as last sent, and neither process grew from the first round to the second.
//
// UDP has no flow control: a query's reply shows that marld has handled
// everything sent before the query, and senders keep at most half of
// marld's receive buffer unconfirmed, so that any loss is a fault.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <thread>

#include "child_process.h"
#include "marlclient.h"
#include "test_support.h"

namespace {

constexpr int kSenders = 8;
constexpr int kQueriers = 2;
constexpr long kRequestedReceiveBuffer = 4194304;

long fileNumber(const std::string& path, const std::string& key = "")
{
    std::ifstream file(path);
    std::string word;
    while (!key.empty() && file >> word && word != key) {
    }
    long value = -1;
    file >> value;
    return value;
}

int socketDescriptors()
{
    int count = 0;
    DIR* fds = opendir("/proc/self/fd");
    while (const dirent* entry = readdir(fds)) {
        char target[64] = {};
        count += readlink(("/proc/self/fd/" + std::string(entry->d_name)).c_str(), target, sizeof target - 1) > 0 &&
                 std::string(target).starts_with("socket:");
    }
    closedir(fds);
    return count;
}

class LoadTest : public ::testing::Test {
protected:
    // Every sender sets its points to `value`, paced by the queries that the
    // queriers make meanwhile.
    void runPhase(std::uint8_t value)
    {
        std::atomic<int> sendersLeft{kSenders};
        std::vector<std::thread> threads;
        for (int sender = 0; sender < kSenders; ++sender) {
            threads.emplace_back([&, sender] {
                for (std::size_t i = 0; i < points_; ++i) {
                    while (sent_ - confirmed_ >= window_) {
                        std::this_thread::sleep_for(std::chrono::microseconds(20));
                    }
                    failed_ += !update_marl_point(name(sender, i).c_str(), value);
                    ++sent_;
                }
                --sendersLeft;
            });
        }
        for (int querier = 0; querier < kQueriers; ++querier) {
            threads.emplace_back([&, querier] {
                for (std::size_t next = static_cast<std::size_t>(querier) * 7919; sendersLeft > 0;) {
                    next = (next + 104729) % (points_ * kSenders);
                    query(name(static_cast<int>(next % kSenders), next / kSenders));
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        updates_ += points_ * kSenders;
        // Every thousandth point of each sender must read `value`.
        for (int sender = 0; sender < kSenders; ++sender) {
            for (std::size_t i = 0; i < points_; i += std::max<std::size_t>(1, points_ / 1000)) {
                EXPECT_EQ(query(name(sender, i)), value) << name(sender, i);
            }
        }
    }

    std::string name(int sender, std::size_t i) const { return "load/" + std::to_string(sender) + "/" + std::to_string(i); }

    std::optional<std::uint8_t> query(const std::string& point)
    {
        const std::uint64_t mark = sent_;
        std::uint8_t value = 0;
        ++queries_;
        if (!read_marl_point(point.c_str(), &value)) {
            ++failed_;
            return std::nullopt;
        }
        for (std::uint64_t seen = confirmed_; seen < mark && !confirmed_.compare_exchange_weak(seen, mark);) {
        }
        return value;
    }

    const std::size_t points_ = std::getenv("MARL_LOAD_POINTS") ? std::stoul(std::getenv("MARL_LOAD_POINTS")) : 100000;
    // marld's receive buffer as the kernel grants it (capped at the host's
    // net.core.rmem_max, then doubled), in datagrams of at most 1 KiB, halved.
    const std::uint64_t window_ = static_cast<std::uint64_t>(
        std::clamp(std::min(kRequestedReceiveBuffer, fileNumber("/proc/sys/net/core/rmem_max")) / 1024, 64L, 2000L));
    std::atomic<std::uint64_t> sent_{0}, confirmed_{0}, failed_{0}, queries_{0};
    std::uint64_t updates_ = 0;
};

TEST_F(LoadTest, EveryUpdateArrivesOneSocketNoGrowth)
{
    ASSERT_EQ(socketDescriptors(), 0);
    marltest::MarldProcess marld({"--quiet", "--max-points", std::to_string(points_ * kSenders), "--rcvbuf",
                                  std::to_string(kRequestedReceiveBuffer)}, false);
    ASSERT_NE(marld.port(), 0) << marld.stderrText();
    const std::uint64_t dropsBefore = marltest::udpCounter("RcvbufErrors");
    long clientKiB[2] = {};
    long marldKiB[2] = {};
    for (int round = 0; round < 2; ++round) {
        const auto start = std::chrono::steady_clock::now();
        runPhase(1);
        runPhase(0);
        clientKiB[round] = fileNumber("/proc/self/status", "VmRSS:");
        marldKiB[round] = fileNumber("/proc/" + std::to_string(marld.pid()) + "/status", "VmRSS:");
        std::cout << "load: round " << round + 1 << ": " << 2 * points_ * kSenders << " updates in "
                  << std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() << " s, window " << window_
                  << "; RSS: client " << clientKiB[round] << " KiB, marld " << marldKiB[round] << " KiB\n";
    }
    EXPECT_EQ(socketDescriptors(), 1) << "the library's one socket";
    EXPECT_EQ(failed_, 0u);
    ASSERT_EQ(marld.stop(), 0) << marld.stderrText();
    const std::string out = marld.stdoutText();
    EXPECT_EQ(marltest::marldCounter(out, "updates"), updates_) << "kernel drops: " << marltest::udpCounter("RcvbufErrors") - dropsBefore;
    EXPECT_EQ(marltest::marldCounter(out, "queries"), queries_.load());
    EXPECT_EQ(marltest::marldCounter(out, "received"), updates_ + queries_);
    EXPECT_EQ(marltest::marldCounter(out, "dropped"), 0u);
    EXPECT_EQ(marltest::marldCounter(out, "receive-errors"), 0u);
    EXPECT_EQ(marltest::udpCounter("RcvbufErrors"), dropsBefore);
    EXPECT_EQ(out.find("\nupdate "), std::string::npos) << "--quiet prints no update lines";
    // The second round touches the same points with the same calls: a leak of
    // even one byte per update would show as 1.6 MB here.
    EXPECT_LE(clientKiB[1] - clientKiB[0], 1024) << "client RSS grew in the second round";
    EXPECT_LE(marldKiB[1] - marldKiB[0], 1024) << "marld's RSS grew in the second round";
}

} // namespace
