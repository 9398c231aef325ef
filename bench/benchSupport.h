// What the benchmarks share: rounds that interleave a baseline with a
// candidate, the table of ratios printed at the end, and the far ends the
// library sends to (a sink socket, or marld run as a child process).
//
// Every figure is a ratio against a baseline measured in the same run, in
// many short rounds that alternate which of the two goes first: on a shared
// machine, whatever slows one round down slows both sides of it, and the
// median of the per-round ratios shrugs off the rounds that a preemption hit.
#pragma once

#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "marlmsg.h"

namespace marlbench {

using Clock = std::chrono::steady_clock;

// How many rounds a benchmark runs: its default scaled by MARL_BENCH_SCALE
// (a positive number; default 1), never fewer than 3.
[[nodiscard]] benchmark::IterationCount scaledRounds(benchmark::IterationCount rounds);

// ---- The table

struct Row {
    std::string what;     // the candidate
    std::string baseline; // what it is compared with
    std::string unit;     // of both values
    double value = 0;
    double baselineValue = 0;
    double ratio = 0;     // value / baselineValue: median of the per-round ratios
    double ratioLow = 0;  // first and third quartiles of the per-round ratios;
    double ratioHigh = 0; // equal to ratio where there is only one round
    std::optional<double> target; // the ratio must not exceed it
    std::string note;
};

void addRow(Row row);
void printTable(std::FILE* out);

// ---- Interleaved rounds

[[nodiscard]] double quantile(std::vector<double> values, double q);

struct Paired {
    double baselineNs = 0;  // median per call
    double candidateNs = 0; // median per call
    double ratio = 0;       // median of the per-round ratios
    double ratioLow = 0;
    double ratioHigh = 0;
    bool allSucceeded = true;
};

// How a batch of calls is timed. threadCpu counts only the time this thread
// ran, including the kernel's work on its behalf (softirqs too, this kernel
// having no separate IRQ time accounting), and leaves out the time it waited
// while other processes ran: on a shared machine, the right clock for calls
// that never block. Calls that wait for a reply need the wall clock.
enum class Timing { wall, threadCpu };

[[nodiscard]] double nowNs(Timing timing);
// What one reading of the clock costs, measured once per clock: taken off
// every batch, so that the clock's cost (a system call for threadCpu) does
// not pull the ratios towards 1.
[[nodiscard]] double clockCostNs(Timing timing);

// Times `calls` calls of fn; clears `ok` if any returned false.
template <typename Fn>
double timeCalls(Timing timing, Fn& fn, int calls, bool& ok)
{
    bool allOk = true;
    const double start = nowNs(timing);
    for (int i = 0; i < calls; ++i) {
        allOk &= fn();
    }
    const double elapsed = nowNs(timing) - start - clockCostNs(timing);
    ok = ok && allOk;
    return elapsed;
}

// Runs one round per iteration of `state`: `calls` calls of the baseline and
// `calls` of the candidate, in turn first, then `between()` (untimed by us).
// The candidate's time is the iteration's time for Google Benchmark.
template <typename Baseline, typename Candidate, typename Between>
Paired pairedRounds(benchmark::State& state, Timing timing, int calls, Baseline baseline, Candidate candidate,
                    Between between)
{
    std::vector<double> baselineNs;
    std::vector<double> candidateNs;
    std::vector<double> ratios;
    Paired result;
    bool baselineFirst = true;
    for (auto _ : state) {
        double b = 0;
        double c = 0;
        if (baselineFirst) {
            b = timeCalls(timing, baseline, calls, result.allSucceeded);
            c = timeCalls(timing, candidate, calls, result.allSucceeded);
        } else {
            c = timeCalls(timing, candidate, calls, result.allSucceeded);
            b = timeCalls(timing, baseline, calls, result.allSucceeded);
        }
        baselineFirst = !baselineFirst;
        state.SetIterationTime(c * 1e-9);
        baselineNs.push_back(b / calls);
        candidateNs.push_back(c / calls);
        ratios.push_back(c / b);
        between();
    }
    result.baselineNs = quantile(baselineNs, 0.5);
    result.candidateNs = quantile(candidateNs, 0.5);
    result.ratio = quantile(ratios, 0.5);
    result.ratioLow = quantile(ratios, 0.25);
    result.ratioHigh = quantile(ratios, 0.75);
    state.counters["baseline_ns"] = result.baselineNs;
    state.counters["candidate_ns"] = result.candidateNs;
    state.counters["ratio"] = result.ratio;
    return result;
}

// A table row for the result of pairedRounds, in ns per call.
void addPairedRow(const std::string& what, const std::string& baseline, const Paired& result,
                  std::optional<double> target = std::nullopt, std::string note = {});

// ---- The far ends

// The library's socket and the service's address, as setup_marl_socket hands
// them out; creates the socket on the first call. Nothing when the library
// cannot set up its socket or the services database names no "marl" port.
struct LibrarySocket {
    int fd;
    sockaddr_in service;
};
[[nodiscard]] std::optional<LibrarySocket> librarySocket();

// A UDP socket bound where the library sends, with a large receive buffer,
// that keeps what it is sent: sends then take the path they take to a
// listening service. Emptied between rounds so that it never fills up.
class Sink {
public:
    explicit Sink(const sockaddr_in& at);
    ~Sink();
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    [[nodiscard]] bool ok() const { return fd_ >= 0; }
    [[nodiscard]] const std::string& error() const { return error_; }
    // Takes everything queued; returns how many datagrams that was.
    std::size_t drain();
    // The next datagram, waiting up to a second for it.
    [[nodiscard]] std::optional<std::vector<std::uint8_t>> next();

private:
    int fd_ = -1;
    std::string error_;
};

// marld's counters, from the lines it prints when it stops.
struct MarldCounters {
    std::uint64_t received = 0;
    std::uint64_t updates = 0;
    std::uint64_t queries = 0;
    std::uint64_t dropped = 0;
    std::uint64_t receiveErrors = 0;
};
[[nodiscard]] std::optional<MarldCounters> parseCounters(const std::string& text);

// marld as a child process, with its stdout in a file. The constructor
// starts it with `arguments` and waits, bounded, for its listening line.
class MarldChild {
public:
    explicit MarldChild(const std::vector<std::string>& arguments);
    ~MarldChild();
    MarldChild(const MarldChild&) = delete;
    MarldChild& operator=(const MarldChild&) = delete;

    [[nodiscard]] bool listening() const { return listening_; }
    [[nodiscard]] pid_t pid() const { return pid_; }
    // SIGTERM, then waits (bounded) for marld to end; returns its stdout.
    std::string stop();

private:
    std::string output() const;

    pid_t pid_ = -1;
    bool listening_ = false;
    std::string outputPath_;
};

// The kernel's UDP counters of this network namespace (/proc/net/snmp).
struct UdpStats {
    std::uint64_t inDatagrams = 0;
    std::uint64_t rcvbufErrors = 0;
    std::uint64_t inErrors = 0;
};
[[nodiscard]] UdpStats readUdpStats();

// Waits, up to `timeout`, until the UDP socket bound to 127.0.0.1:`port` in
// this network namespace has nothing queued (/proc/net/udp); false if it
// still has, or there is no such socket.
[[nodiscard]] bool waitUntilQueueEmpty(std::uint16_t port, std::chrono::milliseconds timeout);

// A datagram as the library writes it for a plain update of `name`, or a
// query of it: the bytes a bare sendto baseline sends.
[[nodiscard]] std::vector<std::uint8_t> updateDatagram(const std::string& name, bool set);
[[nodiscard]] std::vector<std::uint8_t> queryDatagram(const std::string& name);

// A threshold record and six texts, each at its block maximum: the largest
// block an extended update can carry (414 bytes). The record points into the
// strings, so it is neither copied nor moved.
struct MaximalRuntimeInfo {
    std::string attributeId = std::string(80, 'a');
    std::string indication = std::string(4, 'i');
    std::string monitoredAttributes = std::string(128, 'm');
    std::string text = std::string(32, 't');
    t_threshold_info threshold{};

    MaximalRuntimeInfo()
    {
        threshold.attributeId = attributeId.data();
        threshold.thresholdLevel.indication = indication.data();
        threshold.thresholdLevel.low = 1.5F;
        threshold.thresholdLevel.high = 99.5F;
        threshold.observedValue = 100.25F;
        threshold.armTime = 1700000000;
    }
    MaximalRuntimeInfo(const MaximalRuntimeInfo&) = delete;
    MaximalRuntimeInfo& operator=(const MaximalRuntimeInfo&) = delete;
};

} // namespace marlbench
