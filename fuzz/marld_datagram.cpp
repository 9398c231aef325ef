// marld's handling of received datagrams, on arbitrary bytes.
//
// Bit 0 of the first byte restricts the service to a list of names; then
// comes a series of datagrams, each after a two-byte length (the last cut at
// the end of the input), handled in turn by one handler, so that queries meet
// points that earlier updates made. Each datagram lies in a heap block of
// exactly its size, so that AddressSanitizer sees a read one byte past it.
// After each one: exactly one counter moved; a query, and only a query, got
// one reply, which is the response for the queried name with the state that
// the updates accepted so far give that point; an accepted update is one the
// service may take; nothing but an accepted update changed the store.
#include <algorithm>
#include <map>
#include <sstream>

#include "datagramHandler.h"
#include "fuzz_target.h"
#include "test_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::istringstream list("ab\nfan-tray-2/overheat\n");
    std::string error;
    const bool restricted = size > 0 && (data[0] & 1) != 0;
    const auto names = restricted ? *marld::PointNames::fromList(list, error) : marld::PointNames();
    marld::PointStore store(3); // small, so that the store fills up
    marld::Counters counted;
    marld::DatagramHandler handler(store, names, counted);
    std::map<std::string, bool> points; // what the accepted updates made
    const marld::Endpoint sender{0x7F000001, 40000};
    marl::ByteReader input(data, size);
    (void)input.skip(1);
    for (std::uint16_t length = 0; input.getU16(length);) {
        const std::size_t count = std::min<std::size_t>(length, input.left());
        const FuzzInput bytes(input.position(), input.position() + count);
        (void)input.skip(bytes.size());
        using C = marld::Count;
        const marld::Counters before = counted;
        const marld::Outcome outcome = handler.handle(bytes.data(), bytes.size(), sender, {});
        const marld::Counters& after = counted;
        FUZZ_CHECK(after[C::received] == before[C::received] + 1 &&
                   after[C::accepted] + after[C::dropped] == before[C::accepted] + before[C::dropped] + 1);
        std::uint32_t id = 0; // stays 0 when there are not four bytes
        (void)marl::ByteReader(bytes.data(), bytes.size()).getU32(id);
        if (const auto* answer = std::get_if<marld::QueryAnswered>(&outcome)) {
            // The name is all that follows the 44-byte record.
            FUZZ_CHECK(id == MARL_MSG_QUERY_POINT && after[C::queries] == before[C::queries] + 1 &&
                       bytes.size() >= MARL_QUERY_POINT_MSG_SIZE);
            const std::string name(bytes.begin() + MARL_QUERY_POINT_MSG_SIZE, bytes.end());
            const auto code = names.accepts(name) ? MARL_MSG_RC_OK : MARL_MSG_RC_INVALID_POINT_ID;
            const bool set = points.contains(name) && points.at(name);
            const FuzzInput reply = marltest::datagramBytes(marl::ResponseDatagram{name, set, code});
            FUZZ_CHECK(answer->point == name && std::ranges::equal(answer->reply, reply) &&
                       answer->replyTo == sender);
        } else if (const auto* update = std::get_if<marld::UpdateAccepted>(&outcome)) {
            FUZZ_CHECK(id == (update->extended ? MARL_MSG_UPDATE_POINT_EXT : MARL_MSG_UPDATE_POINT) &&
                       after[C::updates] == before[C::updates] + 1 && bytes.size() <= MARL_MAX_UPDATE_MSG_LENGTH);
            FUZZ_CHECK(names.accepts(update->point) && update->change.newSet == (bytes[MSG_HEADER_SIZE] != 0));
            points[std::string(update->point)] = update->change.newSet;
        } else { // a query is answered whatever its name: only a malformed one is dropped
            const marld::DropReason reason = std::get<marld::Dropped>(outcome).reason;
            FUZZ_CHECK(id != MARL_MSG_QUERY_POINT || reason <= marld::DropReason::trailingBytes);
        }
        FUZZ_CHECK(store.size() == points.size());
        for (const auto& [name, set] : points) {
            FUZZ_CHECK(store.find(name) != nullptr && store.find(name)->isSet == set);
        }
    }
    return 0;
}

std::vector<FuzzInput> marlFuzzSeeds()
{
    char temperature[] = "temperature", up[] = "up";
    const t_threshold_info threshold{temperature, {up, 60.0F, 80.0F}, 82.5F, 1'700'000'000};
    const marl::DynamicInfoView info{&threshold, {"fan speed", "u", "p", "d", "1", "2"}}, none;
    // Options, then each datagram after its length.
    const auto series = [](std::uint8_t options, const std::vector<FuzzInput>& datagrams) {
        FuzzInput bytes{options};
        for (const FuzzInput& datagram : datagrams) {
            bytes.insert(bytes.end(), {std::uint8_t(datagram.size() >> 8), std::uint8_t(datagram.size())});
            bytes.insert(bytes.end(), datagram.begin(), datagram.end());
        }
        return bytes;
    };
    const auto u = [](std::string_view name, bool set, const marl::DynamicInfoView* runtimeInfo = nullptr) {
        return marltest::datagramBytes(marl::UpdateDatagram{name, set, runtimeInfo});
    };
    const auto q = [](std::string_view name) { return marltest::datagramBytes(marl::QueryDatagram{name}); };
    const std::string fan = "fan-tray-2/overheat";
    // A query with a byte that its header does not count; a store full after three points.
    return {series(0, {u("ab", true), q("ab"), u("ab", false), q("ab")}),
            series(1, {u(fan, true, &info), q(fan), q("cd"), u("cd", true)}),
            series(0, {u("p1", true), u("p2", true), u("p3", true), u("p4", true), q("p4")}),
            series(0, {marltest::patched(q("ab"), 7, "2d"), q(""), q(std::string(601, 'n')),
                       u("ab", true, &none)})};
}
