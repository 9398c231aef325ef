// The client's operations against the system calls underneath them.
//
// Updates go to a sink bound to the service's port, on the library's own
// socket and to the address the library itself uses, so that the baseline
// (a bare sendto of the very bytes the library sends) and the candidate take
// the same path through the kernel. Queries go to marld, started for the
// benchmark, against a bare request and response of the same bytes.
#include <sys/select.h>
#include <sys/socket.h>
#include <syslog.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "benchSupport.h"
#include "child_process.h"
#include "marlclient.h"
#include "test_support.h"

namespace marlbench {

namespace {

using marltest::Bytes;

constexpr int kCallsPerRound = 64;

std::string nameOfLength(std::size_t length)
{
    std::string name;
    for (std::size_t i = 0; i < length; ++i) {
        name.push_back(static_cast<char>('a' + i % 26));
    }
    return name;
}

// The baselines' send: `datagram` whole, on the library's socket, to the
// service's address.
bool sendToService(const LibrarySocket& library, const Bytes& datagram)
{
    return sendto(library.fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&library.service),
                  sizeof library.service) == static_cast<ssize_t>(datagram.size());
}

// A socket bound to the service's port that keeps what it is sent, so that
// sends take the path they take to a listening service; drained between
// rounds, and with room for many rounds of the largest datagrams (the kernel
// caps it at net.core.rmem_max), so that it never fills up. Null, with the
// benchmark skipped, when the port is taken.
std::unique_ptr<marltest::UdpPeer> serviceSink(benchmark::State& state)
{
    try {
        return std::make_unique<marltest::UdpPeer>(librarySocket().port(), 4 << 20);
    } catch (const std::runtime_error& error) {
        state.SkipWithError(error.what());
        return nullptr;
    }
}

// Takes everything queued on the sink, between rounds.
void drain(marltest::UdpPeer& sink)
{
    while (sink.receive(std::chrono::milliseconds(0))) {
    }
}

// update_marl_point of `name` against a bare sendto of the same datagram to
// the same address on the same socket.
void updateAgainstSendto(benchmark::State& state, std::size_t nameLength, std::optional<double> target)
{
    const auto sink = serviceSink(state);
    if (!sink) {
        return;
    }
    const LibrarySocket& library = librarySocket();
    const std::string name = nameOfLength(nameLength);
    const Bytes datagram = marltest::datagramBytes(marl::UpdateDatagram{name, true});
    auto bare = [&] { return sendToService(library, datagram); };
    auto update = [&] { return update_marl_point(name.c_str(), 1); };
    // The comparison is only fair if the two send the same bytes.
    if (!update() || sink->receive(std::chrono::seconds(1)) != datagram) {
        state.SkipWithError("update_marl_point did not send the datagram the bare sendto sends");
        return;
    }
    const Paired result = pairedRounds(state, Timing::threadCpu, kCallsPerRound, bare, update, [&] { drain(*sink); });
    if (!result.allSucceeded) {
        state.SkipWithError("a send failed");
        return;
    }
    addPairedRow("update_marl_point, " + std::to_string(nameLength) + "-byte name",
                 "sendto, same " + std::to_string(datagram.size()) + " bytes", result, target);
}

// update_marl_point_ext with all seven runtime arguments at their maxima
// against update_marl_point of the same name. `maskInfo` masks LOG_INFO, as
// a caller may, to show what the extended update's information lines cost.
void extendedAgainstPlain(benchmark::State& state, bool maskInfo)
{
    const auto sink = serviceSink(state);
    if (!sink) {
        return;
    }
    MaximalRuntimeInfo info;
    const char* name = "fan-tray-2/overheat";
    const char* text = info.text.c_str();
    auto plain = [&] { return update_marl_point(name, 1); };
    auto extended = [&] {
        return update_marl_point_ext(name, 1, &info.threshold, info.monitoredAttributes.c_str(), text, text, text,
                                     text, text);
    };
    const int oldMask = maskInfo ? setlogmask(LOG_UPTO(LOG_NOTICE)) : 0;
    const bool sent = extended();
    const auto datagram = sink->receive(std::chrono::seconds(1));
    if (!sent || !datagram ||
        datagram->size() != marl::datagramSize(marl::UpdateDatagram{name, true}) + MARL_DYNAMIC_INFO_MAX_SIZE) {
        state.SkipWithError("the extended update did not carry a maximal block");
    } else {
        const Paired result =
            pairedRounds(state, Timing::threadCpu, kCallsPerRound, plain, extended, [&] { drain(*sink); });
        addPairedRow(std::string("update_marl_point_ext, 7 arguments at maxima") +
                         (maskInfo ? ", LOG_INFO masked" : ""),
                     "update_marl_point, same name", result, std::nullopt,
                     maskInfo ? "" : "includes its two LOG_INFO syslog calls");
    }
    if (maskInfo) {
        setlogmask(oldMask);
    }
}

// read_marl_point against a bare request and response of the same bytes on
// the same socket with the same marld. With `select`, the baseline also waits
// in select before it receives, as the library must (its query waits at most
// 10 seconds): the difference between the two rows is that system call.
void queryAgainstBareRoundTrip(benchmark::State& state, bool withSelect)
{
    const LibrarySocket& library = librarySocket();
    marltest::MarldProcess marld({"--port", std::to_string(library.port()), "--quiet"}, false);
    const std::string name = "fan-tray-2/overheat";
    if (marld.port() == 0 || !update_marl_point(name.c_str(), 1)) {
        state.SkipWithError(("marld on the service's port did not take the point in: " + marld.stderrText()).c_str());
        return;
    }
    const Bytes request = marltest::datagramBytes(marl::QueryDatagram{name});
    // marld's answer for the set point, which the baseline checks as the
    // library checks its own.
    const Bytes answer = marltest::datagramBytes(marl::ResponseDatagram{name, true});
    std::uint8_t reply[MARL_MAX_RESPONSE_LENGTH];
    auto bare = [&] {
        if (!sendToService(library, request)) {
            return false;
        }
        if (withSelect) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(library.fd, &readable);
            timeval timeout{10, 0};
            if (select(library.fd + 1, &readable, nullptr, nullptr, &timeout) != 1) {
                return false;
            }
        }
        sockaddr_in from{};
        socklen_t fromSize = sizeof from;
        return recvfrom(library.fd, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), &fromSize) ==
                   static_cast<ssize_t>(answer.size()) &&
               std::memcmp(reply, answer.data(), answer.size()) == 0;
    };
    auto query = [&] {
        std::uint8_t value = 0;
        return read_marl_point(name.c_str(), &value) && value == 1;
    };
    const Paired result = pairedRounds(state, Timing::wall, kCallsPerRound / 4, bare, query, [] {});
    if (!result.allSucceeded || marld.stop() != 0 || marltest::marldCounter(marld.stdoutText(), "dropped") != 0U) {
        state.SkipWithError("a query failed or marld dropped a datagram");
        return;
    }
    if (withSelect) {
        addPairedRow("read_marl_point round trip, marld", "sendto + select + recvfrom", result);
    } else {
        addPairedRow("read_marl_point round trip, marld", "sendto + recvfrom, same bytes", result, 1.10);
    }
}

// Queries `names` at once, each from a thread of its own, and waits for all
// of them; true when each got its point as set.
bool queriesAtOnce(const std::vector<std::string>& names)
{
    std::atomic<std::size_t> answered{0};
    std::vector<std::thread> threads;
    for (const std::string& name : names) {
        threads.emplace_back([&answered, &name] {
            std::uint8_t value = 0;
            answered += read_marl_point(name.c_str(), &value) && value == 1 ? 1 : 0;
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    return answered == names.size();
}

// Eight threads querying at once against marld that answers each query
// `--reply-delay 50` ms late, against one query alone: side by side, the
// round takes about as long as one query.
void eightAtOnceAgainstMarld(benchmark::State& state)
{
    const LibrarySocket& library = librarySocket();
    marltest::MarldProcess marld({"--port", std::to_string(library.port()), "--quiet", "--reply-delay", "50"}, false);
    std::vector<std::string> names;
    for (int i = 0; i < 8; ++i) {
        names.push_back("fan-tray-" + std::to_string(i) + "/overheat");
        if (marld.port() == 0 || !update_marl_point(names.back().c_str(), 1)) {
            state.SkipWithError(("marld did not take the points in: " + marld.stderrText()).c_str());
            return;
        }
    }
    auto one = [&] { return queriesAtOnce({names[0]}); };
    auto eight = [&] { return queriesAtOnce(names); };
    const Paired result = pairedRounds(state, Timing::wall, 1, one, eight, [] {});
    if (!result.allSucceeded || marld.stop() != 0) {
        state.SkipWithError("a query failed");
        return;
    }
    addPairedRow("read_marl_point, 8 threads at once, marld --reply-delay 50", "one read_marl_point, same marld",
                 result, 1.3, "wall time of a round");
}

// A service on the library's port, driven by the benchmark: it answers each
// query for the point it names, as set, after the delay in ms that `delay`
// gives for the name and the count of queries still waiting for an answer
// when it came; none for a negative delay.
class ScriptedService {
public:
    using Delay = std::function<int(const std::string& name, std::size_t waiting)>;

    ScriptedService(benchmark::State& state, Delay delay) : peer_(serviceSink(state)), delay_(std::move(delay))
    {
        if (peer_) {
            thread_ = std::thread([this] { serve(); });
        }
    }
    ~ScriptedService()
    {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    ScriptedService(const ScriptedService&) = delete;
    ScriptedService& operator=(const ScriptedService&) = delete;

    [[nodiscard]] bool running() const { return peer_ != nullptr; }
    [[nodiscard]] std::size_t queriesReceived() const { return received_; }
    // Answers every query still waiting, at once.
    void answerAll() { answerAllNow_ = true; }

private:
    struct Due {
        Clock::time_point at;
        std::string name;
        sockaddr_in to;
    };

    void serve()
    {
        std::vector<Due> due;
        while (!stop_) {
            sockaddr_in from{};
            const auto query = peer_->receive(std::chrono::milliseconds(1), &from);
            if (query && query->size() > MARL_QUERY_POINT_MSG_SIZE) {
                const std::string name(query->begin() + MARL_QUERY_POINT_MSG_SIZE, query->end());
                const int delay = delay_(name, due.size());
                due.push_back({delay < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(delay),
                               name, from});
                ++received_;
            }
            const bool all = answerAllNow_.exchange(false);
            std::erase_if(due, [&](const Due& d) {
                return (all || d.at <= Clock::now()) &&
                       peer_->send(d.to, marltest::datagramBytes(marl::ResponseDatagram{d.name, true}));
            });
        }
    }

    std::unique_ptr<marltest::UdpPeer> peer_;
    Delay delay_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> answerAllNow_{false};
    std::atomic<std::size_t> received_{0};
    std::thread thread_;
};

// Eight threads query at once and are answered in the reverse order of
// their queries, after 440 down to 300 ms; one query answered after 1000 ms
// is the baseline, so that a ratio of at most 1 is "all done within 1.0 s".
void eightAnsweredInReverse(benchmark::State& state)
{
    ScriptedService service(state, [](const std::string& name, std::size_t waiting) {
        return name == "lone" ? 1000 : 440 - 20 * static_cast<int>(waiting);
    });
    if (!service.running()) {
        return;
    }
    std::vector<std::string> names;
    for (int i = 0; i < 8; ++i) {
        names.push_back("card-" + std::to_string(i));
    }
    auto lone = [] { return queriesAtOnce({"lone"}); };
    auto eight = [&] { return queriesAtOnce(names); };
    // Run first in a process (--benchmark_filter), this round also shows
    // what a process pays before a reply has shown that names are echoed.
    const Clock::time_point start = Clock::now();
    const bool firstAnswered = eight();
    const auto first = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    const Paired result = pairedRounds(state, Timing::wall, 1, lone, eight, [] {});
    if (!firstAnswered || !result.allSucceeded) {
        state.SkipWithError("a query failed");
        return;
    }
    addPairedRow("read_marl_point, 8 threads, answered in reverse order after 440 to 300 ms",
                 "one query answered after 1000 ms", result, 1.0,
                 "all done within 1.0 s; first round " + std::to_string(first.count()) + " ms");
}

// Four queries answered after 100 ms while a fifth, made first, gets no
// answer; one query answered after 1500 ms is the baseline, so that a ratio
// of at most 1 is "the four done within 1.5 s". The fifth is answered
// between rounds.
void fourBesideAnUnansweredOne(benchmark::State& state)
{
    ScriptedService service(state, [](const std::string& name, std::size_t) {
        return name == "lone" ? 1500 : name == "never" ? -1 : 100;
    });
    if (!service.running()) {
        return;
    }
    std::thread unanswered;
    auto lone = [] { return queriesAtOnce({"lone"}); };
    auto four = [&] {
        const std::size_t before = service.queriesReceived();
        unanswered = std::thread([] { (void)queriesAtOnce({"never"}); });
        while (service.queriesReceived() == before) {
            std::this_thread::yield();
        }
        return queriesAtOnce({"card-0", "card-1", "card-2", "card-3"});
    };
    const Paired result = pairedRounds(state, Timing::wall, 1, lone, four, [&] {
        service.answerAll();
        unanswered.join();
    });
    if (!result.allSucceeded) {
        state.SkipWithError("a query failed");
        return;
    }
    addPairedRow("read_marl_point, 4 answered after 100 ms, one unanswered", "one query answered after 1500 ms", result,
                 1.0, "the four done within 1.5 s");
}

} // namespace

void registerClientBenchmarks()
{
    registerRounds("update_marl_point/vs_sendto", 4000,
                   [](benchmark::State& state) { updateAgainstSendto(state, 2, 1.02); });
    for (const std::size_t length : {1, 100, 600}) {
        registerRounds("update_marl_point/name_bytes:" + std::to_string(length), 1500,
                       [length](benchmark::State& state) { updateAgainstSendto(state, length, std::nullopt); });
    }
    registerRounds("update_marl_point_ext/vs_update", 1500,
                   [](benchmark::State& state) { extendedAgainstPlain(state, false); });
    registerRounds("update_marl_point_ext/vs_update_info_masked", 1500,
                   [](benchmark::State& state) { extendedAgainstPlain(state, true); });
    registerRounds("read_marl_point/vs_bare_round_trip", 1500,
                   [](benchmark::State& state) { queryAgainstBareRoundTrip(state, false); });
    registerRounds("read_marl_point/vs_bare_round_trip_with_select", 1500,
                   [](benchmark::State& state) { queryAgainstBareRoundTrip(state, true); });
    registerRounds("read_marl_point/eight_at_once_marld", 60, eightAtOnceAgainstMarld);
    registerRounds("read_marl_point/eight_answered_in_reverse", 5, eightAnsweredInReverse);
    registerRounds("read_marl_point/four_beside_an_unanswered_one", 5, fourBesideAnUnansweredOne);
}

} // namespace marlbench
