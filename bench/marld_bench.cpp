// marld: how many updates one service takes in on loopback, with and without
// batched receives, and how its per-update cost grows with the points it
// knows.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "benchSupport.h"
#include "child_process.h"
#include "datagramHandler.h"
#include "marlclient.h"
#include "test_support.h"

namespace marlbench {

namespace {

// The field `name` of the kernel's UDP counters of this network namespace
// (/proc/net/snmp: InDatagrams, RcvbufErrors, ...); 0 when there is none.
std::uint64_t udpCounter(const std::string& name)
{
    // Two lines start with "Udp:": the field names, then their values.
    std::ifstream snmp("/proc/net/snmp");
    const std::vector<std::string> words{std::istream_iterator<std::string>(snmp), {}};
    const auto names = std::find(words.begin(), words.end(), "Udp:");
    const auto values = names == words.end() ? names : std::find(names + 1, words.end(), "Udp:");
    const auto field = std::find(names, values, name);
    return field < values ? std::stoull(values[field - names]) : 0;
}

// Fixed-width names, so that a datagram can be pointed at another point by
// rewriting its digits in place: the name ends a plain update.
constexpr std::size_t kDigits = 7;

std::string pointName(std::size_t index)
{
    char name[32];
    std::snprintf(name, sizeof name, "point-%0*zu", static_cast<int>(kDigits), index);
    return name;
}

// A small, fast pseudo-random sequence; the same in every run.
struct XorShift {
    std::uint64_t state = 0x9E3779B97F4A7C15ULL;
    std::uint64_t next()
    {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
};

// ---- Per-update cost by the number of known points, without sockets

// A handler whose store knows `points` points, fed updates of known points
// picked at random, setting and clearing in turn: the cost of finding a
// point among many, cache misses included. Updates come in batches, each
// prefetched before it is handled, as marld's loop takes what one receive
// call returns; a batch of one is a lone datagram.
class KnownPoints {
public:
    KnownPoints(std::size_t points, std::size_t batch) : points_(points), store_(points), handler_(store_, names_)
    {
        const auto now = marld::WallClock::now();
        for (std::size_t i = 0; i < points; ++i) {
            (void)store_.update(pointName(i), false, now, std::nullopt);
        }
        for (const bool set : {false, true}) {
            datagrams_[set].assign(batch, marltest::datagramBytes(marl::UpdateDatagram{pointName(0), set}));
        }
    }

    bool updateBatch()
    {
        std::vector<marltest::Bytes>& batch = datagrams_[++batches_ % 2];
        for (marltest::Bytes& datagram : batch) {
            std::size_t index = static_cast<std::size_t>(random_.next() % points_);
            for (std::size_t i = 0; i < kDigits; ++i) {
                datagram[datagram.size() - 1 - i] = static_cast<std::uint8_t>('0' + index % 10);
                index /= 10;
            }
            handler_.prefetch(datagram.data(), datagram.size());
        }
        bool accepted = true;
        for (const marltest::Bytes& datagram : batch) {
            const marld::Outcome outcome =
                handler_.handle(datagram.data(), datagram.size(), marld::Endpoint{0x7F000001, 40000}, now_);
            accepted = accepted && std::holds_alternative<marld::UpdateAccepted>(outcome);
        }
        return accepted;
    }

    std::size_t size() const { return store_.size(); }

private:
    std::size_t points_;
    marld::PointStore store_;
    marld::PointNames names_;
    marld::DatagramHandler handler_;
    std::array<std::vector<marltest::Bytes>, 2> datagrams_; // clearing, setting
    std::size_t batches_ = 0;
    XorShift random_;
    marld::WallClock::time_point now_ = marld::WallClock::now();
};

void updateCostByKnownPoints(benchmark::State& state, std::size_t points, std::size_t batch)
{
    KnownPoints few(1000, batch);
    KnownPoints many(points, batch);
    auto baseline = [&] { return few.updateBatch(); };
    auto candidate = [&] { return many.updateBatch(); };
    Paired result = pairedRounds(state, Timing::wall, static_cast<int>(256 / batch), baseline, candidate, [] {});
    if (!result.allSucceeded || many.size() != points) {
        state.SkipWithError("an update was not accepted");
        return;
    }
    result.baselineNs /= static_cast<double>(batch); // per update
    result.candidateNs /= static_cast<double>(batch);
    char what[96];
    std::snprintf(what, sizeof what, "marld handle(), update among %zu known points, %s", points,
                  batch == 1 ? "one at a time" : "batches of 32");
    addPairedRow(what, "among 1000 known points", result, batch == 1 ? std::nullopt : std::optional(1.5),
                 "in-process, no socket");
}

// ---- Ingestion over loopback

struct Ingestion {
    bool ok = false;
    double acceptedPerSecond = 0;
    double lossRate = 0; // of the updates sent while timed
    std::uint64_t kernelDrops = 0;
};

// The receive buffer marld is run with (--rcvbuf).
constexpr long kReceiveBuffer = 4L << 20;

// How many updates may be sent unconfirmed: marld's receive buffer (capped
// at net.core.rmem_max, doubled by the kernel) counted in 1 KiB datagrams
// (short ones take 832 bytes on loopback), halved for margin.
std::size_t pacingWindow()
{
    std::ifstream sysctl("/proc/sys/net/core/rmem_max");
    long rmemMax = 0;
    sysctl >> rmemMax;
    return static_cast<std::size_t>(std::clamp(2 * std::min(kReceiveBuffer, rmemMax) / 2 / 1024, 64L, 1000L));
}

// Updates each of `names` once, with a query after every `window` updates:
// the query's reply comes after marld has handled everything sent before it,
// so no more than a window is ever queued and nothing is lost.
bool pacedUpdates(const std::vector<std::string>& names, std::size_t window)
{
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!update_marl_point(names[i].c_str(), 0)) {
            return false;
        }
        std::uint8_t value = 0;
        if ((i + 1) % window == 0 && !read_marl_point(names[i].c_str(), &value)) {
            return false;
        }
    }
    return true;
}

// One marld run with `marldArguments`: `known` points updated first, paced,
// then `senders` threads send `perSender` updates each of random known
// points, as fast as they can. Timed from the start of the flood until a
// query sent after it is answered, i.e. until marld has handled all of it.
Ingestion ingest(std::vector<std::string> marldArguments, std::size_t known, int senders, std::size_t perSender)
{
    Ingestion result;
    const std::uint16_t port = librarySocket().port();
    marldArguments.insert(marldArguments.end(), {"--port", std::to_string(port), "--max-points", std::to_string(known),
                                                 "--rcvbuf", std::to_string(kReceiveBuffer)});
    marltest::MarldProcess marld(std::move(marldArguments), false);
    if (marld.port() == 0) {
        std::fprintf(stderr, "marl-bench: marld did not start: %s\n", marld.stderrText().c_str());
        return result;
    }
    std::vector<std::string> names;
    names.reserve(known);
    for (std::size_t i = 0; i < known; ++i) {
        names.push_back(pointName(i));
    }
    if (!pacedUpdates(names, pacingWindow())) {
        std::fprintf(stderr, "marl-bench: marld did not take the known points in\n");
        return result;
    }
    const std::uint64_t kernelDropsBefore = udpCounter("RcvbufErrors");
    std::atomic<bool> go{false};
    std::atomic<std::uint64_t> sent{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < senders; ++t) {
        threads.emplace_back([&, t] {
            XorShift random;
            random.state += static_cast<std::uint64_t>(t) * 0x2545F4914F6CDD1DULL;
            while (!go.load(std::memory_order_acquire)) {
                std::this_thread::yield();
            }
            std::uint64_t mine = 0;
            for (std::size_t i = 0; i < perSender; ++i) {
                mine += update_marl_point(names[random.next() % known].c_str(), static_cast<std::uint8_t>(i & 1)) ? 1 : 0;
            }
            sent += mine;
        });
    }
    const auto start = Clock::now();
    go.store(true, std::memory_order_release);
    for (std::thread& thread : threads) {
        thread.join();
    }
    // The closing query must not meet a full queue, or it is lost too: it is
    // sent once marld has taken in everything that reached it.
    std::uint8_t value = 0;
    const bool drained =
        waitUntilQueueEmpty(port, std::chrono::seconds(60)) && read_marl_point(names[0].c_str(), &value);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.kernelDrops = udpCounter("RcvbufErrors") - kernelDropsBefore;
    const int status = marld.stop();
    const std::string output = marld.stdoutText();
    const auto updates = marltest::marldCounter(output, "updates");
    const auto queries = marltest::marldCounter(output, "queries");
    if (!drained || status != 0 || !updates || !queries || marltest::marldCounter(output, "dropped") != 0U) {
        std::fprintf(stderr, "marl-bench: marld run failed (%s, exit status %d): %s\n",
                     drained ? "the final query was answered" : "the final query was not answered", status,
                     marld.stderrText().c_str());
        return result;
    }
    // Every update marld took in was accepted (nothing dropped); what it did
    // not take in was lost on the way.
    const std::uint64_t pacedQueries = known / pacingWindow();
    const std::uint64_t timedReceived = *updates - known;
    const std::uint64_t timedSent = sent.load();
    result.ok = *queries == pacedQueries + 1 && timedReceived <= timedSent;
    if (!result.ok) {
        std::fprintf(stderr, "marl-bench: marld counted %llu queries and %llu timed updates; %llu were sent\n",
                     static_cast<unsigned long long>(*queries), static_cast<unsigned long long>(timedReceived),
                     static_cast<unsigned long long>(timedSent));
    }
    result.acceptedPerSecond = static_cast<double>(timedReceived) / seconds;
    result.lossRate = timedSent == 0 ? 0 : static_cast<double>(timedSent - timedReceived) / static_cast<double>(timedSent);
    return result;
}

// Runs `before` and `after` in turn, once per iteration, and reports the
// ratio of their accepted rates (after / before: above 1 is better).
void compareIngestion(benchmark::State& state, const std::string& what, const std::string& baselineWhat,
                      const std::vector<std::string>& before, const std::vector<std::string>& after,
                      std::size_t knownBefore, std::size_t knownAfter, int senders, std::size_t perSender)
{
    std::vector<double> beforeRates, afterRates, ratios, beforeLoss, afterLoss;
    std::uint64_t beforeDrops = 0;
    std::uint64_t afterDrops = 0;
    bool beforeFirst = true;
    for (auto _ : state) {
        Ingestion b;
        Ingestion a;
        if (beforeFirst) {
            b = ingest(before, knownBefore, senders, perSender);
            a = ingest(after, knownAfter, senders, perSender);
        } else {
            a = ingest(after, knownAfter, senders, perSender);
            b = ingest(before, knownBefore, senders, perSender);
        }
        beforeFirst = !beforeFirst;
        if (!a.ok || !b.ok) {
            state.SkipWithError("a marld run failed");
            return;
        }
        state.SetIterationTime(static_cast<double>(perSender * static_cast<std::size_t>(senders)) / a.acceptedPerSecond);
        beforeRates.push_back(b.acceptedPerSecond);
        afterRates.push_back(a.acceptedPerSecond);
        ratios.push_back(a.acceptedPerSecond / b.acceptedPerSecond);
        beforeLoss.push_back(b.lossRate);
        afterLoss.push_back(a.lossRate);
        beforeDrops += b.kernelDrops;
        afterDrops += a.kernelDrops;
    }
    char note[200];
    std::snprintf(note, sizeof note, "loss %.1f%% (baseline %.1f%%); kernel receive-buffer drops %llu (baseline %llu)",
                  100 * quantile(afterLoss, 0.5), 100 * quantile(beforeLoss, 0.5),
                  static_cast<unsigned long long>(afterDrops), static_cast<unsigned long long>(beforeDrops));
    addRow(Row{what, baselineWhat, "updates/s", quantile(afterRates, 0.5), quantile(beforeRates, 0.5),
               quantile(ratios, 0.5), quantile(ratios, 0.25), quantile(ratios, 0.75), std::nullopt, note});
    state.counters["updates_per_s"] = quantile(afterRates, 0.5);
    state.counters["baseline_updates_per_s"] = quantile(beforeRates, 0.5);
}

} // namespace

void registerMarldBenchmarks()
{
    for (const std::size_t batch : {std::size_t{1}, std::size_t{32}}) {
        for (const std::size_t points : {std::size_t{100000}, std::size_t{1000000}}) {
            registerRounds("marld/handle_update_known_points:" + std::to_string(points) + "/batch:" +
                               std::to_string(batch),
                           2000, [points, batch](benchmark::State& state) {
                               updateCostByKnownPoints(state, points, batch);
                           });
        }
    }
    const std::size_t perRun = 300000;
    for (const int senders : {1, 2, 4, 8}) {
        const std::size_t perSender = perRun / static_cast<std::size_t>(senders);
        registerRounds("marld/ingestion_recv_batch/senders:" + std::to_string(senders), 3,
                       [senders, perSender](benchmark::State& state) {
                           compareIngestion(state,
                                            "marld ingestion, --recv-batch 32, " + std::to_string(senders) +
                                                (senders == 1 ? " sender" : " senders"),
                                            "--recv-batch 1", {"--quiet", "--recv-batch", "1"},
                                            {"--quiet", "--recv-batch", "32"}, 1000, 1000, senders, perSender);
                       });
    }
    registerRounds("marld/ingestion_with_lines", 3, [perRun](benchmark::State& state) {
        compareIngestion(state, "marld ingestion, --recv-batch 32, lines on stdout, 4 senders", "--recv-batch 1",
                         {"--recv-batch", "1"}, {"--recv-batch", "32"}, 1000, 1000, 4, perRun / 4);
    });
    registerRounds("marld/ingestion_known_points:1000000", 3, [perRun](benchmark::State& state) {
        compareIngestion(state, "marld ingestion, 1000000 known points, 2 senders", "1000 known points",
                         {"--quiet"}, {"--quiet"}, 1000, 1000000, 2, perRun / 2);
    });
}

} // namespace marlbench
