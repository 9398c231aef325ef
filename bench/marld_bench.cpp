// marld: how its per-update cost grows with the points it knows, and how it
// takes in updates on loopback against a bare receive loop on the same
// traffic: CPU time per datagram when paced, the share taken in of a flood.
#include <time.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "benchSupport.h"
#include "child_process.h"
#include "datagramHandler.h"
#include "marlclient.h"
#include "test_support.h"
#include "options.h"

namespace marlbench {

namespace {

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
// point among many, cache misses included. Updates come in batches, handled
// as marld's loop handles what one receive call returns;
// a batch of one is a lone datagram.
class KnownPoints {
public:
    KnownPoints(std::size_t points, std::size_t batch)
        : points_(points), store_(points), handler_(store_, names_, counters_)
    {
        const auto now = marld::WallClock::now();
        for (std::size_t i = 0; i < points; ++i) {
            (void)store_.update(pointName(i), false, now, nullptr);
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
        }
        bool accepted = true;
        batch_.clear();
        for (const marltest::Bytes& datagram : batch) {
            batch_.push_back({datagram.data(), datagram.size(), marld::Endpoint{0x7F000001, 40000}});
        }
        handler_.handle(batch_, now_, [&](std::size_t, const marld::Outcome& outcome) {
            accepted = accepted && std::holds_alternative<marld::UpdateAccepted>(outcome);
        });
        return accepted;
    }

    std::size_t size() const { return store_.size(); }

private:
    std::size_t points_;
    marld::PointStore store_;
    marld::PointNames names_;
    marld::Counters counters_;
    marld::DatagramHandler handler_;
    std::vector<marld::Datagram> batch_;
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

// ---- Ingestion over loopback, against a bare receive loop

// The receive buffer both receivers get: marld's --rcvbuf.
constexpr int kReceiveBuffer = 4 << 20;
constexpr std::size_t kIngestionPoints = 1000;

// One receiver's run: what was sent to it, what it took in, and the CPU time
// of all its threads while the updates came.
struct Intake {
    bool ok = false;
    std::uint64_t sent = 0;
    std::uint64_t received = 0;
    double cpuNs = 0;
};

// The CPU time, in ns, of every thread of process `pid` so far; -1 when it
// cannot be read.
double processCpuNs(pid_t pid)
{
    clockid_t clock{};
    timespec now{};
    if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &now) != 0) {
        return -1;
    }
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// `senders` threads send `perSender` updates each of random points through
// the library, paced to `rate` a second in all, or as fast as they can when
// `rate` is 0. Returns how many the library sent.
std::uint64_t sendUpdates(int senders, std::size_t perSender, double rate)
{
    std::vector<std::string> names;
    for (std::size_t i = 0; i < kIngestionPoints; ++i) {
        names.push_back(pointName(i));
    }
    std::atomic<std::uint64_t> sent{0};
    std::vector<std::thread> threads;
    const auto start = Clock::now() + std::chrono::milliseconds(10);
    for (int t = 0; t < senders; ++t) {
        threads.emplace_back([&, t] {
            XorShift random;
            random.state += static_cast<std::uint64_t>(t) * 0x2545F4914F6CDD1DULL;
            // Thread t sends its i-th update at (i * senders + t) / rate.
            const std::chrono::duration<double> step(rate > 0 ? senders / rate : 0);
            const std::chrono::duration<double> offset(rate > 0 ? t / rate : 0);
            std::this_thread::sleep_until(start);
            std::uint64_t mine = 0;
            for (std::size_t i = 0; i < perSender; ++i) {
                if (rate > 0) {
                    const auto due = start + std::chrono::duration_cast<Clock::duration>(offset + step * i);
                    if (Clock::now() < due) {
                        std::this_thread::sleep_until(due);
                    }
                }
                const char* name = names[random.next() % kIngestionPoints].c_str();
                mine += update_marl_point(name, static_cast<std::uint8_t>(i & 1)) ? 1 : 0;
            }
            sent += mine;
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    return sent.load();
}

// The bare loop (no `marldArguments`) or marld with them takes in what
// sendUpdates sends; its CPU time is read from before the first update to
// when its socket has nothing queued.
Intake intake(const std::optional<std::vector<std::string>>& marldArguments, int senders, std::size_t perSender,
              double rate)
{
    Intake result;
    const std::string port = std::to_string(librarySocket().port());
    std::vector<std::string> command = {BARE_RECEIVER_COMMAND, port, std::to_string(kReceiveBuffer),
                                        std::to_string(marld::Options{}.receiveBatch)};
    if (marldArguments) {
        command = {MARLD_COMMAND, "--port", port, "--rcvbuf", std::to_string(kReceiveBuffer)};
        command.insert(command.end(), marldArguments->begin(), marldArguments->end());
    }
    marltest::ChildProcess receiver(command);
    for (int i = 0; i < 2000 && receiver.stdoutText().find('\n') == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const double cpuBefore = processCpuNs(receiver.pid());
    result.sent = sendUpdates(senders, perSender, rate);
    const bool drained = waitUntilQueueEmpty(librarySocket().port(), std::chrono::seconds(30));
    const double cpuAfter = processCpuNs(receiver.pid());
    const int status = receiver.stop();
    const std::string out = receiver.stdoutText();
    // marld counts what it took in among its counters, the bare loop on a line of its own.
    const std::size_t bareCount = out.find("\nreceived ");
    std::optional<std::uint64_t> received = marltest::marldCounter(out, "updates");
    if (!marldArguments && bareCount != out.npos) {
        received = std::stoull(out.substr(bareCount + 10));
    }
    const bool clean = !marldArguments || marltest::marldCounter(out, "dropped") == 0U;
    result.ok = drained && status == 0 && received && clean && cpuBefore >= 0 && cpuAfter >= 0;
    if (!result.ok) {
        std::fprintf(stderr, "marl-bench: %s run failed (%s, exit status %d): %s%s\n", command[0].c_str(),
                     drained ? "drained" : "not drained", status,
                     out.c_str(), receiver.stderrText().c_str());
        return result;
    }
    result.received = received.value_or(0);
    result.cpuNs = cpuAfter - cpuBefore;
    return result;
}

// A row of marld with `marldArguments` against the bare loop, on the same
// traffic, in rounds that alternate which goes first. Paced (`rate` > 0):
// CPU time per datagram taken in, with the loss of either in the note.
// Unpaced: the fraction of the sent datagrams taken in.
void compareIntake(benchmark::State& state, const std::string& what, const std::vector<std::string>& marldArguments,
                   int senders, double rate, std::size_t total, std::optional<double> target)
{
    const std::size_t perSender = total / static_cast<std::size_t>(senders);
    std::vector<double> marldValues, bareValues, ratios;
    std::uint64_t marldLost = 0;
    std::uint64_t bareLost = 0;
    bool marldFirst = false;
    for (auto _ : state) {
        Intake m;
        Intake b;
        if (marldFirst) {
            m = intake(marldArguments, senders, perSender, rate);
            b = intake(std::nullopt, senders, perSender, rate);
        } else {
            b = intake(std::nullopt, senders, perSender, rate);
            m = intake(marldArguments, senders, perSender, rate);
        }
        marldFirst = !marldFirst;
        if (!m.ok || !b.ok || m.received == 0 || b.received == 0) {
            state.SkipWithError("a receiver's run failed");
            return;
        }
        const auto value = [rate](const Intake& run) {
            return rate > 0 ? run.cpuNs / static_cast<double>(run.received)
                            : 100.0 * static_cast<double>(run.received) / static_cast<double>(run.sent);
        };
        state.SetIterationTime(m.cpuNs * 1e-9);
        marldValues.push_back(value(m));
        bareValues.push_back(value(b));
        ratios.push_back(value(m) / value(b));
        marldLost += m.sent - std::min(m.sent, m.received);
        bareLost += b.sent - std::min(b.sent, b.received);
    }
    char note[160];
    std::snprintf(note, sizeof note, "%zu updates a round; lost %llu (bare %llu) in all rounds", total,
                  static_cast<unsigned long long>(marldLost), static_cast<unsigned long long>(bareLost));
    Row row{what, "bare recvmmsg loop", rate > 0 ? "CPU ns/dgram" : "% received", quantile(marldValues, 0.5),
            quantile(bareValues, 0.5), quantile(ratios, 0.5), quantile(ratios, 0.25), quantile(ratios, 0.75),
            target, note};
    row.targetIsFloor = rate == 0;
    addRow(std::move(row));
    state.counters["ratio"] = quantile(ratios, 0.5);
}

} // namespace

void registerIngestion(const std::string& name, const std::string& what, std::vector<std::string> marldArguments,
                       int senders, double rate, std::optional<double> target)
{
    // Paced, one second's worth a round; unpaced, as many as the 2-sender
    // flood takes in about a second here.
    const std::size_t total = rate > 0 ? static_cast<std::size_t>(rate) : 200000;
    registerRounds(name, 5, [=](benchmark::State& state) {
        compareIntake(state, what, marldArguments, senders, rate, total, target);
    });
}

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
    registerIngestion("marld/ingestion_paced", "marld --quiet, paced 100000/s, 2 senders", {"--quiet"}, 2,
                      100000, 1.2);
    // The state file lives on through the rounds, as it would through
    // restarts, and goes with the process.
    static const std::string stateFile = "/tmp/marl-bench-state-" + std::to_string(getpid()) + ".db";
    std::atexit([] { (void)unlink(stateFile.c_str()); });
    registerIngestion("marld/ingestion_paced_state", "marld --quiet --state FILE, paced 100000/s, 2 senders",
                      {"--quiet", "--state", stateFile}, 2, 100000, 3.0);
    for (const int senders : {1, 2, 4}) {
        registerIngestion("marld/ingestion_flood/senders:" + std::to_string(senders),
                          "marld --quiet, unpaced, " + std::to_string(senders) + (senders == 1 ? " sender" : " senders"),
                          {"--quiet"}, senders, 0, 0.9);
    }
}

} // namespace marlbench
