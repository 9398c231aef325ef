// marld: how its per-update cost grows with the points it knows, and how it
// takes in updates on loopback against a bare receive loop on the same
// traffic: CPU time per datagram when paced, the share taken in of a flood.
#include <time.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
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
        (void)store_.reserve(); // as marld does

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

// ---- What each optimisation of the handler saves

// The time the plain code takes, less the optimised code's, for the names
// of 1,000 points, against the time handle() takes for their updates in
// batches of 32: the share of the call that the optimisation saves. Both
// run on the same names in every round.
template <typename Plain, typename Optimised>
void optimisationPays(benchmark::State& state, const std::string& what, const std::string& plainWhat, Plain plain,
                      Optimised optimised)
{
    std::vector<std::string> names;
    std::vector<marltest::Bytes> datagrams;
    for (std::size_t i = 0; i < 1000; ++i) {
        names.push_back(pointName(i));
        datagrams.push_back(marltest::datagramBytes(marl::UpdateDatagram{names.back(), true}));
    }
    KnownPoints handled(1000, 32);
    std::size_t sink = 0;
    const auto timeAll = [&](auto fn) {
        const double start = nowNs(Timing::threadCpu);
        for (std::size_t i = 0; i < names.size(); ++i) {
            sink += fn(names[i], datagrams[i]);
        }
        return (nowNs(Timing::threadCpu) - start - clockCostNs(Timing::threadCpu)) / static_cast<double>(names.size());
    };
    std::vector<double> shares, saved, handleNs;
    for (auto _ : state) {
        const double plainNs = timeAll(plain);
        const double optimisedNs = timeAll(optimised);
        const double start = nowNs(Timing::threadCpu);
        for (int batch = 0; batch < 32; ++batch) {
            sink += handled.updateBatch() ? 1 : 0;
        }
        const double perUpdate = (nowNs(Timing::threadCpu) - start - clockCostNs(Timing::threadCpu)) / (32 * 32);
        state.SetIterationTime(optimisedNs * 1e-9);
        saved.push_back(plainNs - optimisedNs);
        handleNs.push_back(perUpdate);
        shares.push_back((plainNs - optimisedNs) / perUpdate);
    }
    benchmark::DoNotOptimize(sink);
    Row row{what + ": time saved against " + plainWhat, "handle(), an update among 1000 points", "ns/update",
            quantile(saved, 0.5), quantile(handleNs, 0.5), quantile(shares, 0.5), quantile(shares, 0.25),
            quantile(shares, 0.75), 0.01, "in-process; the share of handle() it saves"};
    row.targetIsFloor = true;
    addRow(std::move(row));
}

void registerOptimisationRows()
{
    registerRounds("marld/pays/header_read", 200, [](benchmark::State& state) {
        optimisationPays(
            state, "header read for its identifier and length", "the whole header",
            [](const std::string&, const marltest::Bytes& bytes) {
                msgHeaderNt header{};
                marl::ByteReader reader(bytes.data(), bytes.size());
                return marl::getHeader(reader, header) ? std::size_t{header.id} : 0;
            },
            [](const std::string&, const marltest::Bytes& bytes) {
                std::uint32_t id = 0;
                std::int32_t length = 0;
                marl::ByteReader reader(bytes.data(), bytes.size());
                return marl::getHeaderIdAndLength(reader, id, length) ? std::size_t{id} : 0;
            });
    });
}

// ---- Ingestion over loopback, against a bare receive loop

// The receive buffer both receivers get: marld's --rcvbuf.
constexpr int kReceiveBuffer = 4 << 20;
constexpr std::size_t kIngestionPoints = 1000;

// GET `path` from 127.0.0.1:`port` as HTTP/1.0, read to the end; returns
// the answer's first `keep` bytes (by default its status line), empty when
// nobody answered.
std::string httpGet(std::uint16_t port, const std::string& path, std::size_t keep = 64)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: marld\r\n\r\n";
    std::string head;
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
        send(fd, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size())) {
        static thread_local char buffer[65536];
        for (ssize_t got = 0; (got = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
            head.append(buffer, std::min(static_cast<std::size_t>(got), keep - std::min(keep, head.size())));
        }
    }
    close(fd);
    return head;
}

// A TCP port on loopback that nobody listens on now.
std::uint16_t freeTcpPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    const bool bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), size) == 0 &&
                       getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
    close(fd);
    return bound ? ntohs(address.sin_port) : 0;
}

// Raises `points` points at the marld on `port`, a hundred at a time, each
// hundred taken in (a query after them answered) before the next is sent.
bool populate(std::uint16_t port, std::size_t points)
{
    marltest::UdpPeer peer;
    for (std::size_t first = 0; first < points; first += 100) {
        for (std::size_t i = first; i < std::min(points, first + 100); ++i) {
            (void)peer.send(port, marltest::datagramBytes(marl::UpdateDatagram{pointName(i), true}));
        }
        if (!peer.send(port, marltest::datagramBytes(marl::QueryDatagram{pointName(first)})) ||
            !peer.receive(std::chrono::seconds(5))) {
            return false;
        }
    }
    return true;
}

// The URL of a real Alertmanager on loopback, routing alerts nowhere, started
// at the first call and stopped at exit; empty when it does not get ready.
std::string alertmanagerUrl()
{
    static const std::string directory = "/tmp/marl-bench-am-" + std::to_string(getpid());
    static std::unique_ptr<marltest::ChildProcess> alertmanager;
    static std::uint16_t port = 0;
    if (!alertmanager) {
        std::filesystem::create_directories(directory);
        std::atexit([] { std::error_code ignored; std::filesystem::remove_all(directory, ignored); });
        std::ofstream(directory + "/am.yml") << "route: {receiver: none}\nreceivers: [{name: none}]\n";
        port = freeTcpPort();
        alertmanager = std::make_unique<marltest::ChildProcess>(std::vector<std::string>{
            "prometheus-alertmanager", "--config.file=" + directory + "/am.yml", "--storage.path=" + directory,
            "--web.listen-address=127.0.0.1:" + std::to_string(port), "--cluster.listen-address="});
        std::atexit([] { alertmanager.reset(); });
    }
    for (int i = 0; i < 400; ++i) {
        if (httpGet(port, "/-/ready").starts_with("HTTP/1.0 200")) {
            return "http://127.0.0.1:" + std::to_string(port);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return {};
}

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

// Which points a flow of updates names.
enum class Names {
    few,     // random ones of kIngestionPoints, set and cleared in turn
    distinct // kDistinctPoints in turn, each update flipping its point, so that every one is a change
};
constexpr std::size_t kDistinctPoints = 100000;

// `senders` threads send `perSender` updates each through the library,
// paced to `rate` a second in all, or as fast as they can when `rate` is 0.
// Returns how many the library sent.
std::uint64_t sendUpdates(int senders, std::size_t perSender, double rate, Names which = Names::few)
{
    static const std::vector<std::string> names = [] {
        std::vector<std::string> all;
        for (std::size_t i = 0; i < kDistinctPoints; ++i) {
            all.push_back(pointName(i));
        }
        return all;
    }();
    // Each distinct point's last state, through the rounds: thread t flips
    // the points t, t + senders, ..., so that no two threads share one.
    static std::vector<std::uint8_t> states(kDistinctPoints);
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
                const std::size_t index = which == Names::distinct
                                              ? (i * static_cast<std::size_t>(senders) + static_cast<std::size_t>(t)) % kDistinctPoints
                                              : random.next() % kIngestionPoints;
                const std::uint8_t set = which == Names::distinct ? (states[index] ^= 1) : static_cast<std::uint8_t>(i & 1);
                mine += update_marl_point(names[index].c_str(), set) ? 1 : 0;
            }
            sent += mine;
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    return sent.load();
}

// The bare loop (no `marldArguments`) or marld with them, after
// `raisedFirst` points were raised at it, takes in what sendUpdates sends;
// its CPU time is read from before the first update to when its socket has
// nothing queued. A marld that sends alerts must have sent some, and had
// none refused.
Intake intake(const std::optional<std::vector<std::string>>& marldArguments, int senders, std::size_t perSender,
              double rate, std::size_t raisedFirst, Names which)
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
    if (marldArguments && raisedFirst > 0 && !populate(librarySocket().port(), raisedFirst)) {
        std::fprintf(stderr, "marl-bench: marld did not take in the first %zu points\n", raisedFirst);
        return result;
    }
    const double cpuBefore = processCpuNs(receiver.pid());
    result.sent = sendUpdates(senders, perSender, rate, which);
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
    if (marldArguments && received) {
        *received -= std::min<std::uint64_t>(*received, raisedFirst);
    }
    const bool alerting = marldArguments && std::ranges::find(*marldArguments, "--alertmanager") != marldArguments->end();
    const bool clean = !marldArguments || (marltest::marldCounter(out, "dropped") == 0U &&
                                           (!alerting || (marltest::marldCounter(out, "alerts-sent") > 0U &&
                                                          marltest::marldCounter(out, "alerts-failed") == 0U)));
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
                   int senders, double rate, std::size_t total, std::optional<double> target,
                   std::size_t raisedFirst = 0, Names which = Names::few)
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
            m = intake(marldArguments, senders, perSender, rate, raisedFirst, which);
            b = intake(std::nullopt, senders, perSender, rate, raisedFirst, which);
        } else {
            b = intake(std::nullopt, senders, perSender, rate, raisedFirst, which);
            m = intake(marldArguments, senders, perSender, rate, raisedFirst, which);
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

// ---- Ingestion while marld's HTTP side is read

// Clients that read /points of the HTTP side on `port` over and over, each
// `every` after its last read began (0: at once), until they are destroyed.
class HttpReaders {
public:
    HttpReaders(std::uint16_t port, int clients, std::chrono::milliseconds every)
    {
        for (int i = 0; i < clients; ++i) {
            threads_.emplace_back([this, port, every] {
                while (!stop_) {
                    const auto next = Clock::now() + every;
                    readPoints(port);
                    while (!stop_ && Clock::now() < next) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    }
                }
            });
        }
    }
    ~HttpReaders()
    {
        stop_ = true;
        for (std::thread& thread : threads_) {
            thread.join();
        }
    }
    HttpReaders(const HttpReaders&) = delete;
    HttpReaders& operator=(const HttpReaders&) = delete;

private:
    static void readPoints(std::uint16_t port) { (void)httpGet(port, "/points"); }

    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

// The HTTP port that marld's second line names; 0 when there is none.
std::uint16_t httpPort(const marltest::ChildProcess& marld)
{
    for (int i = 0; i < 2000; ++i) {
        const std::string out = marld.stdoutText();
        const std::size_t at = out.find("serving HTTP on http://127.0.0.1:");
        if (at != std::string::npos && out.find('\n', at) != std::string::npos) {
            return static_cast<std::uint16_t>(std::atoi(out.c_str() + at + 33));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return 0;
}

struct HttpLoad {
    std::size_t points;              // that marld knows, and /points lists
    int clients;                     // reading /points
    std::chrono::milliseconds every; // between a client's reads
};

constexpr int kHttpRowBuffer = 212992;
constexpr double kHttpRowRate = 100000;
constexpr int kQueriesUnderLoad = 100;

// The share, in %, of a paced flow (100,000 a second, two senders, one
// second) that a receiver takes in while `load` reads a marld's HTTP side:
// marld itself, with 100 queries sent meanwhile, whose longest round trip
// in ms goes to `worstQuery` (infinite when one got no answer); or the bare
// loop, beside a marld that serves the same load. Nothing when a run fails.
std::optional<double> intakeUnderHttp(const HttpLoad& load, bool isMarld, double& worstQuery)
{
    const std::string flowPort = std::to_string(librarySocket().port());
    std::vector<std::string> arguments = {"--quiet", "--http", "0", "--max-points", "1000000", "--rcvbuf",
                                          std::to_string(isMarld ? kHttpRowBuffer : 4 << 20)};
    if (isMarld) {
        arguments.insert(arguments.end(), {"--port", flowPort});
    }
    marltest::MarldProcess server(arguments, !isMarld);
    const std::uint16_t http = httpPort(server);
    std::optional<marltest::ChildProcess> bare;
    if (!isMarld) {
        bare.emplace(std::vector<std::string>{BARE_RECEIVER_COMMAND, flowPort, std::to_string(kHttpRowBuffer), "32"});
        for (int i = 0; i < 2000 && bare->stdoutText().empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    if (server.port() == 0 || http == 0 || !populate(server.port(), load.points)) {
        std::fprintf(stderr, "marl-bench: marld with %zu points did not start: %s\n", load.points,
                     server.stderrText().c_str());
        return std::nullopt;
    }
    std::uint64_t sent = 0;
    {
        const HttpReaders readers(http, load.clients, load.every);
        std::thread queries;
        worstQuery = 0;
        if (isMarld) {
            queries = std::thread([&worstQuery] {
                for (int i = 0; i < kQueriesUnderLoad; ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(8));
                    const auto start = Clock::now();
                    std::uint8_t set = 0;
                    const bool answered = read_marl_point(pointName(std::size_t(i)).c_str(), &set);
                    const std::chrono::duration<double, std::milli> took = Clock::now() - start;
                    worstQuery = std::max(worstQuery, answered ? took.count() : INFINITY);
                }
            });
        }
        sent = sendUpdates(2, static_cast<std::size_t>(kHttpRowRate / 2), kHttpRowRate);
        if (queries.joinable()) {
            queries.join();
        }
    }
    const bool drained = waitUntilQueueEmpty(librarySocket().port(), std::chrono::seconds(30));
    marltest::ChildProcess& receiver = isMarld ? server : *bare;
    const int status = receiver.stop();
    const std::string out = receiver.stdoutText();
    const std::size_t bareCount = out.find("\nreceived ");
    std::optional<std::uint64_t> received = marltest::marldCounter(out, "updates");
    if (!isMarld) {
        received = bareCount == out.npos ? std::nullopt : std::optional<std::uint64_t>(std::stoull(out.substr(bareCount + 10)));
    }
    if (!drained || status != 0 || !received || sent == 0) {
        std::fprintf(stderr, "marl-bench: a run under HTTP load failed: %s%s\n", out.c_str(), receiver.stderrText().c_str());
        return std::nullopt;
    }
    // marld counts the updates that gave it its points too.
    return 100.0 * static_cast<double>(*received - (isMarld ? load.points : 0)) / static_cast<double>(sent);
}

// A row of marld's intake under `load` against the bare loop's beside the
// same load, rounds alternating which goes first; with `queries`, a row of
// the longest query round trip meanwhile against a budget of 50 ms.
void compareUnderHttp(benchmark::State& state, const std::string& what, const HttpLoad& load, bool queries)
{
    std::vector<double> marldValues, bareValues, ratios, worst;
    bool marldFirst = false;
    for (auto _ : state) {
        std::optional<double> m, b;
        double worstQuery = 0;
        double unused = 0;
        for (const bool isMarld : {marldFirst, !marldFirst}) {
            (isMarld ? m : b) = intakeUnderHttp(load, isMarld, isMarld ? worstQuery : unused);
        }
        marldFirst = !marldFirst;
        if (!m || !b || *b == 0) {
            state.SkipWithError("a receiver's run failed");
            return;
        }
        state.SetIterationTime(1);
        marldValues.push_back(*m);
        bareValues.push_back(*b);
        ratios.push_back(*m / *b);
        worst.push_back(worstQuery);
    }
    Row row{what, "bare recvmmsg loop, same HTTP load", "% received", quantile(marldValues, 0.5),
            quantile(bareValues, 0.5), quantile(ratios, 0.5), quantile(ratios, 0.25), quantile(ratios, 0.75), 0.95,
            "paced 100000/s, 2 senders, --rcvbuf 212992"};
    row.targetIsFloor = true;
    addRow(std::move(row));
    if (queries) {
        const double longest = *std::ranges::max_element(worst);
        addRow(Row{"longest of " + std::to_string(kQueriesUnderLoad) + " query round trips, same load", "budget",
                   "ms", longest, 50, longest / 50, longest / 50, longest / 50, 1.0,
                   "a query without an answer counts as infinite"});
    }
}

// ---- An alarm storm, and the loop's turns under load

// The value of the sample `name` (labels included, as written) in marld's
// /metrics on `port`; nothing when it is not there.
std::optional<double> metric(std::uint16_t port, const std::string& name)
{
    const std::string text = httpGet(port, "/metrics", SIZE_MAX);
    const std::size_t at = text.find("\n" + name + " ");
    return at == text.npos ? std::nullopt : std::optional(std::strtod(text.c_str() + at + name.size() + 2, nullptr));
}

constexpr std::size_t kStormPoints = 50000;

struct Storm {
    bool ok = false;
    std::uint64_t sent = 0, taken = 0, leftRaised = 0, kernelDrops = 0;
};

// One thread raises kStormPoints distinct points as fast as it can, then
// clears them all, at marld run as its unit runs it (--quiet --state FILE
// --http ADDR, its own receive buffer) with a reader of /points every
// second; or at the bare loop with the system's default receive buffer.
Storm storm(bool isMarld, const std::string& stateFile)
{
    Storm result;
    const std::string port = std::to_string(librarySocket().port());
    std::string defaultBuffer = "212992";
    std::ifstream("/proc/sys/net/core/rmem_default") >> defaultBuffer;
    std::optional<marltest::ChildProcess> receiver;
    std::optional<marltest::MarldProcess> marld;
    std::uint16_t http = 0;
    if (isMarld) {
        (void)unlink(stateFile.c_str());
        marld.emplace(std::vector<std::string>{"--quiet", "--state", stateFile, "--http", "0", "--port", port}, false);
        http = httpPort(*marld);
    } else {
        receiver.emplace(std::vector<std::string>{BARE_RECEIVER_COMMAND, port, defaultBuffer, "32"});
        for (int i = 0; i < 2000 && receiver->stdoutText().empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    {
        std::optional<HttpReaders> reader;
        if (http != 0) {
            reader.emplace(http, 1, std::chrono::seconds(1));
        }
        for (const std::uint8_t set : {1, 0}) {
            for (std::size_t i = 0; i < kStormPoints; ++i) {
                result.sent += update_marl_point(pointName(i).c_str(), set) ? 1 : 0;
            }
        }
        (void)waitUntilQueueEmpty(librarySocket().port(), std::chrono::seconds(30));
    }
    if (isMarld) {
        const auto left = metric(http, "marld_points_set");
        const auto drops = metric(http, "marld_receive_buffer_drops_total");
        const int status = marld->stop();
        const auto taken = marltest::marldCounter(marld->stdoutText(), "updates");
        result.ok = status == 0 && left && drops && taken;
        result.leftRaised = static_cast<std::uint64_t>(left.value_or(0));
        result.kernelDrops = static_cast<std::uint64_t>(drops.value_or(0));
        result.taken = taken.value_or(0);
    } else {
        const int status = receiver->stop();
        const std::string out = receiver->stdoutText();
        const std::size_t count = out.find("\nreceived ");
        result.ok = status == 0 && count != out.npos;
        result.taken = result.ok ? std::stoull(out.substr(count + 10)) : 0;
    }
    if (!result.ok) {
        std::fprintf(stderr, "marl-bench: a storm run failed: %s\n", (isMarld ? *marld : *receiver).stderrText().c_str());
    }
    return result;
}

// The storm's row: the share of its updates each receiver took, rounds
// alternating which goes first; marld must take all, leave no point
// raised and have none dropped by the kernel.
void compareStorm(benchmark::State& state)
{
    static const std::string stateFile = "/tmp/marl-bench-storm-" + std::to_string(getpid()) + ".db";
    std::vector<double> marldValues, bareValues, ratios;
    std::uint64_t leftRaised = 0, drops = 0;
    bool marldFirst = false;
    for (auto _ : state) {
        Storm m, b;
        for (const bool isMarld : {marldFirst, !marldFirst}) {
            (isMarld ? m : b) = storm(isMarld, stateFile);
        }
        marldFirst = !marldFirst;
        if (!m.ok || !b.ok || m.sent == 0 || b.sent == 0 || b.taken == 0) {
            state.SkipWithError("a receiver's run failed");
            return;
        }
        state.SetIterationTime(1);
        marldValues.push_back(100.0 * static_cast<double>(m.taken) / static_cast<double>(m.sent));
        bareValues.push_back(100.0 * static_cast<double>(b.taken) / static_cast<double>(b.sent));
        ratios.push_back(marldValues.back() / bareValues.back());
        leftRaised += m.leftRaised;
        drops += m.kernelDrops;
    }
    (void)unlink(stateFile.c_str());
    char note[160];
    std::snprintf(note, sizeof note, "%zu raised then cleared; marld left %llu raised, kernel dropped %llu, in all rounds",
                  kStormPoints, static_cast<unsigned long long>(leftRaised), static_cast<unsigned long long>(drops));
    Row row{"marld as its unit runs it, reader of /points each second: storm", "bare loop, default receive buffer",
            "% received", quantile(marldValues, 0.5), quantile(bareValues, 0.5), quantile(ratios, 0.5),
            quantile(ratios, 0.25), quantile(ratios, 0.75), std::nullopt, note};
    // Every update taken is the target, whatever the bare loop's share.
    if (*std::ranges::min_element(marldValues) < 100 || leftRaised > 0 || drops > 0) {
        row.note += "; FAILS: marld lost updates";
    }
    addRow(std::move(row));
}

constexpr std::size_t kTurnLoadPoints = 100000;
constexpr std::size_t kTurnNewPoints = 20000;
constexpr double kTurnBudgetMs = 2;

// The longest turn of marld's loop, in ms, with --state, while four clients
// read /points of kTurnLoadPoints points in a loop and kTurnNewPoints new
// points arrive at 100,000 a second.
void longestTurn(benchmark::State& state)
{
    static const std::string stateFile = "/tmp/marl-bench-turns-" + std::to_string(getpid()) + ".db";
    std::vector<double> longest;
    double over = 0, all = 0; // turns past the budget, and all turns
    for (auto _ : state) {
        (void)unlink(stateFile.c_str());
        marltest::MarldProcess marld({"--quiet", "--state", stateFile, "--http", "0", "--max-points", "200000"});
        const std::uint16_t http = httpPort(marld);
        if (marld.port() == 0 || http == 0 || !populate(marld.port(), kTurnLoadPoints)) {
            state.SkipWithError("marld did not start or take its points");
            return;
        }
        {
            const HttpReaders readers(http, 4, {});
            marltest::UdpPeer peer;
            const auto start = Clock::now();
            for (std::size_t i = 0; i < kTurnNewPoints; ++i) {
                std::this_thread::sleep_until(start + std::chrono::microseconds(10 * i));
                (void)peer.send(marld.port(), marltest::datagramBytes(marl::UpdateDatagram{pointName(kTurnLoadPoints + i), true}));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        const auto seconds = metric(http, "marld_loop_turn_longest_seconds");
        const auto withinBudget = metric(http, "marld_loop_turn_seconds_bucket{le=\"0.002\"}");
        const auto turns = metric(http, "marld_loop_turn_seconds_count");
        const auto known = metric(http, "marld_points");
        if (!seconds || !withinBudget || !turns || known != double(kTurnLoadPoints + kTurnNewPoints) || marld.stop() != 0) {
            state.SkipWithError("marld's metrics did not tell its longest turn, or it missed points");
            return;
        }
        state.SetIterationTime(1);
        longest.push_back(*seconds * 1e3);
        over += *turns - *withinBudget;
        all += *turns;
    }
    (void)unlink(stateFile.c_str());
    const double worst = *std::ranges::max_element(longest);
    char note[160];
    std::snprintf(note, sizeof note, "the longest of all rounds (marld_loop_turn_longest_seconds); %.0f of %.0f turns over 2 ms",
                  over, all);
    addRow(Row{"marld --state, 4 clients read /points of 100000 points, 20000 new arrive: longest loop turn", "budget",
               "ms", worst, kTurnBudgetMs, worst / kTurnBudgetMs, worst / kTurnBudgetMs, worst / kTurnBudgetMs, 1.0, note});
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
    registerOptimisationRows();
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
    // Every update a change of one of 100,000 points: each reaches the journal.
    registerRounds("marld/ingestion_paced_distinct", 5, [](benchmark::State& state) {
        compareIntake(state, "marld --quiet, paced 100000/s, 2 senders, each a change of 100000 points",
                      {"--quiet", "--max-points", "200000"}, 2, 100000, 100000, 1.2, 0, Names::distinct);
    });
    registerRounds("marld/storm", 3, compareStorm);
    registerRounds("marld/longest_turn", 3, longestTurn);
    // The state file lives on through the rounds, as it would through
    // restarts, and goes with the process.
    static const std::string stateFile = "/tmp/marl-bench-state-" + std::to_string(getpid()) + ".db";
    std::atexit([] { (void)unlink(stateFile.c_str()); });
    registerIngestion("marld/ingestion_paced_state", "marld --quiet --state FILE, paced 100000/s, 2 senders",
                      {"--quiet", "--state", stateFile}, 2, 100000, 3.0);
    static const std::string distinctStateFile = "/tmp/marl-bench-distinct-" + std::to_string(getpid()) + ".db";
    std::atexit([] { (void)unlink(distinctStateFile.c_str()); });
    registerRounds("marld/ingestion_paced_distinct_state", 5, [](benchmark::State& state) {
        compareIntake(state, "marld --quiet --state FILE, paced 100000/s, 2 senders, each a change of 100000 points",
                      {"--quiet", "--state", distinctStateFile, "--max-points", "200000"}, 2, 100000, 100000, 3.0, 0,
                      Names::distinct);
    });
    // A real Alertmanager gets every change of the paced flow's points, beside
    // 10,000 raised points that it was sent before.
    registerRounds("marld/ingestion_paced_alerts", 5, [](benchmark::State& state) {
        const std::string url = alertmanagerUrl();
        if (url.empty()) {
            state.SkipWithError("no Alertmanager got ready (prometheus-alertmanager)");
            return;
        }
        compareIntake(state, "marld --quiet --alertmanager URL, 10000 raised, paced 100000/s, 2 senders",
                      {"--quiet", "--alertmanager", url, "--max-points", "20000"}, 2, 100000, 100000, 1.3, 10000);
    });
    const std::vector<std::tuple<std::string, HttpLoad, bool>> httpRows = {
        {"no HTTP client, 10000 points", {10000, 0, {}}, false},
        {"a client reads /points of 10000 points every second", {10000, 1, std::chrono::seconds(1)}, false},
        {"a client reads /points of 10000 points every 0.2 s", {10000, 1, std::chrono::milliseconds(200)}, false},
        {"4 clients read /points of 100000 points in a loop", {100000, 4, {}}, true}};
    for (std::size_t i = 0; i < httpRows.size(); ++i) {
        const auto& [what, load, queries] = httpRows[i];
        registerRounds("marld/ingestion_http/" + std::to_string(i), 5, [what, load, queries](benchmark::State& state) {
            compareUnderHttp(state, "marld --http: " + what, load, queries);
        });
    }
    for (const int senders : {1, 2, 4}) {
        registerIngestion("marld/ingestion_flood/senders:" + std::to_string(senders),
                          "marld --quiet, unpaced, " + std::to_string(senders) + (senders == 1 ? " sender" : " senders"),
                          {"--quiet"}, senders, 0, 0.9);
    }
}

} // namespace marlbench
