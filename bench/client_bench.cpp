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

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

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

} // namespace

void registerClientBenchmarks()
{
    registerRounds("update_marl_point/vs_sendto", 4000,
                   [](benchmark::State& state) { updateAgainstSendto(state, 2, 1.05); });
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
}

} // namespace marlbench
