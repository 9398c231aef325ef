// What the benchmarks share: rounds that interleave a baseline with a
// candidate, the table of ratios printed at the end, and the library's own
// socket. The far ends (a sink, marld) and the datagrams come from testkit.
//
// Every figure is a ratio against a baseline measured in the same run, in
// many short rounds that alternate which of the two goes first: on a shared
// machine, whatever slows one round down slows both sides of it, and the
// median of the per-round ratios shrugs off the rounds that a preemption hit.
#pragma once

#include <benchmark/benchmark.h>
#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "marlEncDec.h"

namespace marlbench {

using Clock = std::chrono::steady_clock;

// The benchmark groups; main registers them in this order, which is the
// order they run and the order of the table.
void registerClientBenchmarks();
void registerCodecBenchmarks();
void registerMarldBenchmarks();

// A row of marld's ingestion against a bare receive loop on the same traffic:
// `senders` threads sending updates through the library, paced to `rate` a
// second in all (CPU time per datagram, target a ceiling) or unpaced for 0
// (the share of the flood taken in, target a floor). marld runs with
// `marldArguments` besides its port and receive buffer.
void registerIngestion(const std::string& name, const std::string& what, std::vector<std::string> marldArguments,
                       int senders, double rate, std::optional<double> target);

// `rounds` scaled by MARL_BENCH_SCALE (a positive number; default 1), never
// fewer than 3.
[[nodiscard]] benchmark::IterationCount scaledRounds(benchmark::IterationCount rounds);

// Registers a benchmark that times its own rounds (SetIterationTime) and runs
// scaledRounds(rounds) of them.
template <typename Fn>
void registerRounds(const std::string& name, benchmark::IterationCount rounds, Fn fn)
{
    benchmark::RegisterBenchmark(name.c_str(), std::move(fn))->Iterations(scaledRounds(rounds))->UseManualTime();
}

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
    bool targetIsFloor = false; // the ratio must reach the target instead
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

// ---- The library's socket

// The socket and the service's address as setup_marl_socket hands them out,
// taken once: the baselines send on the very socket, to the very address,
// that the library uses. main checks it before any benchmark runs.
struct LibrarySocket {
    int fd = -1;
    sockaddr_in service{};
    // 0 when the library has no socket or the services database names no
    // "marl" port.
    [[nodiscard]] std::uint16_t port() const { return ntohs(service.sin_port); }
};
[[nodiscard]] const LibrarySocket& librarySocket();

// Waits, up to `timeout`, until the UDP socket bound to 127.0.0.1:`port` in
// this network namespace has nothing queued (/proc/net/udp); false if it
// still has, or there is no such socket.
[[nodiscard]] bool waitUntilQueueEmpty(std::uint16_t port, std::chrono::milliseconds timeout);

// A threshold record and six texts, each at its block maximum: the largest
// block an extended update can carry (MARL_DYNAMIC_INFO_MAX_SIZE). The record
// points into the strings, so it is neither copied nor moved.
struct MaximalRuntimeInfo {
    std::string attributeId = std::string(MARL_MAX_ATTRIBUTE_ID_LENGTH, 'a');
    std::string indication = std::string(MARL_MAX_INDICATION_LENGTH, 'i');
    std::string monitoredAttributes = std::string(MARL_MAX_MONITORED_ATTRIBUTES_LENGTH, 'm');
    std::string text = std::string(MARL_MAX_DESCRIPTIVE_TEXT_LENGTH, 't');
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
