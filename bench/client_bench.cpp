// The client's operations against the system calls underneath them.
//
// Updates go to a sink bound to the service's port, on the library's own
// socket and to the address the library itself uses, so that the baseline
// (a bare sendto of the very bytes the library sends) and the candidate take
// the same path through the kernel. Queries go to marld, started for the
// benchmark, against a bare request and response of the same bytes.
#include <arpa/inet.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <syslog.h>

#include <string>
#include <vector>

#include "benchSupport.h"
#include "benchmarks.h"
#include "marlclient.h"

namespace marlbench {

namespace {

constexpr int kCallsPerRound = 64;

std::string nameOfLength(std::size_t length)
{
    std::string name;
    for (std::size_t i = 0; i < length; ++i) {
        name.push_back(static_cast<char>('a' + i % 26));
    }
    return name;
}

// Sends one datagram with each of the two and checks that the sink got the
// same bytes from both: the comparison is only fair if they send the same.
template <typename Baseline, typename Candidate>
bool sendSameBytes(Sink& sink, Baseline& baseline, Candidate& candidate)
{
    sink.drain();
    if (!baseline() || !candidate()) {
        return false;
    }
    const auto first = sink.next();
    const auto second = sink.next();
    return first && second && *first == *second;
}

// update_marl_point of `name` against a bare sendto of the same datagram to
// the same address on the same socket.
void updateAgainstSendto(benchmark::State& state, std::size_t nameLength, std::optional<double> target)
{
    const auto library = librarySocket();
    if (!library) {
        state.SkipWithError("the library has no socket or no service port");
        return;
    }
    Sink sink(library->service);
    if (!sink.ok()) {
        state.SkipWithError(sink.error().c_str());
        return;
    }
    const std::string name = nameOfLength(nameLength);
    const std::vector<std::uint8_t> datagram = updateDatagram(name, true);
    const sockaddr_in to = library->service;
    const int fd = library->fd;
    auto bare = [&] {
        return sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
               static_cast<ssize_t>(datagram.size());
    };
    auto update = [&] { return update_marl_point(name.c_str(), 1); };
    if (!sendSameBytes(sink, bare, update)) {
        state.SkipWithError("update_marl_point and the bare sendto did not send the same bytes");
        return;
    }
    const Paired result = pairedRounds(state, Timing::threadCpu, kCallsPerRound, bare, update, [&] { sink.drain(); });
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
    const auto library = librarySocket();
    if (!library) {
        state.SkipWithError("the library has no socket or no service port");
        return;
    }
    Sink sink(library->service);
    if (!sink.ok()) {
        state.SkipWithError(sink.error().c_str());
        return;
    }
    MaximalRuntimeInfo info;
    const char* text = info.text.c_str();
    auto plain = [] { return update_marl_point("fan-tray-2/overheat", 1); };
    auto extended = [&] {
        return update_marl_point_ext("fan-tray-2/overheat", 1, &info.threshold, info.monitoredAttributes.c_str(), text,
                                     text, text, text, text);
    };
    const int oldMask = maskInfo ? setlogmask(LOG_UPTO(LOG_NOTICE)) : 0;
    sink.drain();
    const bool sent = extended();
    const auto datagram = sink.next();
    if (!sent || !datagram || datagram->size() != 46 + 19 + 414) {
        state.SkipWithError("the extended update did not carry a maximal block");
    } else {
        const Paired result = pairedRounds(state, Timing::threadCpu, kCallsPerRound, plain, extended, [&] { sink.drain(); });
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
    const auto library = librarySocket();
    if (!library) {
        state.SkipWithError("the library has no socket or no service port");
        return;
    }
    MarldChild marld({"--port", std::to_string(ntohs(library->service.sin_port)), "--quiet"});
    if (!marld.listening()) {
        state.SkipWithError("marld did not start on the service's port");
        return;
    }
    const std::string name = "fan-tray-2/overheat";
    if (!update_marl_point(name.c_str(), 1)) {
        state.SkipWithError("cannot raise the point");
        return;
    }
    const std::vector<std::uint8_t> request = queryDatagram(name);
    const sockaddr_in to = library->service;
    const int fd = library->fd;
    std::uint8_t reply[568];
    auto bare = [&] {
        if (sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) !=
            static_cast<ssize_t>(request.size())) {
            return false;
        }
        if (withSelect) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(fd, &readable);
            timeval timeout{10, 0};
            if (select(fd + 1, &readable, nullptr, nullptr, &timeout) != 1) {
                return false;
            }
        }
        sockaddr_in from{};
        socklen_t fromSize = sizeof from;
        // The set point's reply: header, pointIsSet 1 at byte 40.
        return recvfrom(fd, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), &fromSize) >= 45 &&
               reply[40] == 1;
    };
    auto query = [&] {
        std::uint8_t value = 0;
        return read_marl_point(name.c_str(), &value) && value == 1;
    };
    const Paired result = pairedRounds(state, Timing::wall, kCallsPerRound / 4, bare, query, [] {});
    const auto counters = parseCounters(marld.stop());
    if (!result.allSucceeded || !counters || counters->dropped != 0) {
        state.SkipWithError("a query failed or marld dropped a datagram");
        return;
    }
    if (withSelect) {
        addPairedRow("read_marl_point round trip, marld", "sendto + select + recvfrom", result);
    } else {
        addPairedRow("read_marl_point round trip, marld", "sendto + recvfrom, same bytes", result, 1.10);
    }
}

} // namespace

void registerClientBenchmarks()
{
    benchmark::RegisterBenchmark("update_marl_point/vs_sendto",
                                 [](benchmark::State& state) { updateAgainstSendto(state, 2, 1.05); })
        ->Iterations(scaledRounds(4000))
        ->UseManualTime();
    for (const std::size_t length : {1, 100, 600}) {
        benchmark::RegisterBenchmark(("update_marl_point/name_bytes:" + std::to_string(length)).c_str(),
                                     [length](benchmark::State& state) {
                                         updateAgainstSendto(state, length, std::nullopt);
                                     })
            ->Iterations(scaledRounds(1500))
            ->UseManualTime();
    }
    benchmark::RegisterBenchmark("update_marl_point_ext/vs_update",
                                 [](benchmark::State& state) { extendedAgainstPlain(state, false); })
        ->Iterations(scaledRounds(1500))
        ->UseManualTime();
    benchmark::RegisterBenchmark("update_marl_point_ext/vs_update_info_masked",
                                 [](benchmark::State& state) { extendedAgainstPlain(state, true); })
        ->Iterations(scaledRounds(1500))
        ->UseManualTime();
    benchmark::RegisterBenchmark("read_marl_point/vs_bare_round_trip",
                                 [](benchmark::State& state) { queryAgainstBareRoundTrip(state, false); })
        ->Iterations(scaledRounds(1500))
        ->UseManualTime();
    benchmark::RegisterBenchmark("read_marl_point/vs_bare_round_trip_with_select",
                                 [](benchmark::State& state) { queryAgainstBareRoundTrip(state, true); })
        ->Iterations(scaledRounds(1500))
        ->UseManualTime();
}

} // namespace marlbench
