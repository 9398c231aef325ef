#include "benchSupport.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "marlclient.h"

namespace marlbench {

benchmark::IterationCount scaledRounds(benchmark::IterationCount rounds)
{
    double scale = 1;
    if (const char* text = std::getenv("MARL_BENCH_SCALE")) {
        char* end = nullptr;
        const double parsed = std::strtod(text, &end);
        if (end != text && *end == '\0' && parsed > 0) {
            scale = parsed;
        }
    }
    return std::max<benchmark::IterationCount>(3, std::llround(static_cast<double>(rounds) * scale));
}

// ---- The table

namespace {

std::mutex rowsMutex;
std::vector<Row> rows;

std::string formatValue(double value)
{
    char text[32];
    if (value >= 1e6) {
        std::snprintf(text, sizeof text, "%.3g", value);
    } else if (value >= 100) {
        std::snprintf(text, sizeof text, "%.0f", value);
    } else {
        std::snprintf(text, sizeof text, "%.1f", value);
    }
    return text;
}

} // namespace

void addRow(Row row)
{
    std::lock_guard lock(rowsMutex);
    rows.push_back(std::move(row));
}

void printTable(std::FILE* out)
{
    std::lock_guard lock(rowsMutex);
    std::size_t whatWidth = 4;
    std::size_t baselineWidth = 8;
    for (const Row& row : rows) {
        whatWidth = std::max(whatWidth, row.what.size());
        baselineWidth = std::max(baselineWidth, row.baseline.size());
    }
    const int w = static_cast<int>(whatWidth);
    const int bw = static_cast<int>(baselineWidth);
    std::fprintf(out, "%-*s  %-*s  %10s  %10s  %-10s  %6s  %-13s  %s\n", w, "what", bw, "baseline", "value",
                 "baseline", "unit", "ratio", "ratio q1-q3", "target");
    for (const Row& row : rows) {
        char spread[32];
        std::snprintf(spread, sizeof spread, "%.3f-%.3f", row.ratioLow, row.ratioHigh);
        std::string target = "-";
        if (row.target) {
            char text[48];
            const bool met = row.targetIsFloor ? row.ratio >= *row.target : row.ratio <= *row.target;
            std::snprintf(text, sizeof text, "%s %.2f %s", row.targetIsFloor ? ">=" : "<=", *row.target,
                          met ? "met" : "MISSED");
            target = text;
        }
        std::fprintf(out, "%-*s  %-*s  %10s  %10s  %-10s  %6.3f  %-13s  %s%s%s\n", w, row.what.c_str(), bw,
                     row.baseline.c_str(), formatValue(row.value).c_str(), formatValue(row.baselineValue).c_str(),
                     row.unit.c_str(), row.ratio, spread, target.c_str(), row.note.empty() ? "" : "  ",
                     row.note.c_str());
    }
    std::fflush(out);
}

// ---- Interleaved rounds

double nowNs(Timing timing)
{
    if (timing == Timing::wall) {
        return std::chrono::duration<double, std::nano>(Clock::now().time_since_epoch()).count();
    }
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

namespace {

double measureClockCost(Timing timing)
{
    std::vector<double> costs;
    for (int i = 0; i < 1001; ++i) {
        const double first = nowNs(timing);
        const double second = nowNs(timing);
        costs.push_back(second - first);
    }
    return quantile(costs, 0.5);
}

} // namespace

double clockCostNs(Timing timing)
{
    static const double wallCost = measureClockCost(Timing::wall);
    static const double cpuCost = measureClockCost(Timing::threadCpu);
    return timing == Timing::wall ? wallCost : cpuCost;
}

double quantile(std::vector<double> values, double q)
{
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const double position = q * static_cast<double>(values.size() - 1);
    const auto below = static_cast<std::size_t>(position);
    const std::size_t above = std::min(below + 1, values.size() - 1);
    const double fraction = position - static_cast<double>(below);
    return values[below] + (values[above] - values[below]) * fraction;
}

void addPairedRow(const std::string& what, const std::string& baseline, const Paired& result,
                  std::optional<double> target, std::string note)
{
    addRow(Row{what, baseline, "ns/call", result.candidateNs, result.baselineNs, result.ratio, result.ratioLow,
               result.ratioHigh, target, std::move(note)});
}

// ---- The library's socket

const LibrarySocket& librarySocket()
{
    static const LibrarySocket socket = [] {
        LibrarySocket taken;
        int size = 0;
        return setup_marl_socket(&taken.fd, &taken.service, &size) ? taken : LibrarySocket{};
    }();
    return socket;
}

bool waitUntilQueueEmpty(std::uint16_t port, std::chrono::milliseconds timeout)
{
    // Lines read "sl local_address rem_address st tx_queue:rx_queue ...",
    // addresses and queues in hex, the address in the kernel's byte order.
    char local[32];
    std::snprintf(local, sizeof local, "%08X:%04X", htonl(INADDR_LOOPBACK), port);
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        std::ifstream table("/proc/net/udp");
        bool bound = false;
        for (std::string line, slot, address, remote, state, queues; std::getline(table, line);) {
            std::istringstream words(line);
            if (words >> slot >> address >> remote >> state >> queues && address == local) {
                if (std::strtoul(queues.substr(queues.find(':') + 1).c_str(), nullptr, 16) == 0) {
                    return true;
                }
                bound = true;
            }
        }
        if (!bound || Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

} // namespace marlbench
