// marld's handling of received datagrams, on arbitrary bytes.
//
// The input is a series of datagrams, each after a two-byte length, handled
// in turn by one handler, so that queries meet points that earlier updates
// made. Each datagram lies in a heap block of exactly its size, so that
// AddressSanitizer sees a read one byte past it. After each one: exactly one
// counter moved; a query, and only a query, got one reply, which is the
// response for the queried name with the state that the updates accepted so
// far give that point; an accepted update is one the service may take;
// nothing but an accepted update changed the store.
#include <map>
#include <memory>
#include <sstream>

#include "datagramHandler.h"
#include "fuzz_target.h"
#include "test_support.h"

namespace {

constexpr marld::Endpoint kSender{0x7F000001, 40000};

class Service {
public:
    explicit Service(bool restricted)
    {
        std::istringstream list("ab\nfan-tray-2/overheat\n");
        std::string error;
        if (restricted) {
            names_ = *marld::PointNames::fromList(list, error);
        }
    }

    void handle(const std::uint8_t* bytes, std::size_t size)
    {
        const marld::Counters before = handler_.counters();
        const marld::Outcome outcome = handler_.handle(bytes, size, kSender, marld::WallClock::time_point{});
        const marld::Counters& after = handler_.counters();
        FUZZ_CHECK(after.received == before.received + 1);
        FUZZ_CHECK(after.accepted() + after.droppedTotal() == before.accepted() + before.droppedTotal() + 1);
        std::uint32_t id = 0;
        marl::ByteReader reader(bytes, size);
        (void)reader.getU32(id); // 0 when there are not four bytes
        if (const auto* answer = std::get_if<marld::QueryAnswered>(&outcome)) {
            // The name is all that follows the 44-byte record.
            FUZZ_CHECK(id == MARL_MSG_QUERY_POINT && after.queries == before.queries + 1 && size >= MARL_QUERY_POINT_MSG_SIZE);
            const std::string name(reinterpret_cast<const char*>(bytes) + MARL_QUERY_POINT_MSG_SIZE, size - MARL_QUERY_POINT_MSG_SIZE);
            const bool valid = names_.accepts(name);
            const auto known = points_.find(name);
            FUZZ_CHECK(answer->point == name && answer->replyTo.address == kSender.address && answer->replyTo.port == kSender.port);
            FUZZ_CHECK(answer->reply == marltest::datagramBytes(marl::ResponseDatagram{
                                            name, valid && known != points_.end() && known->second,
                                            valid ? MARL_MSG_RC_OK : MARL_MSG_RC_INVALID_POINT_ID}));
        } else if (const auto* update = std::get_if<marld::UpdateAccepted>(&outcome)) {
            FUZZ_CHECK(id == (update->extended ? MARL_MSG_UPDATE_POINT_EXT : MARL_MSG_UPDATE_POINT));
            FUZZ_CHECK(after.updates == before.updates + 1 && size <= MARL_MAX_UPDATE_MSG_LENGTH && names_.accepts(update->point));
            FUZZ_CHECK(update->change.newSet == (bytes[MSG_HEADER_SIZE] != 0));
            points_[update->point] = update->change.newSet;
        } else {
            // A query is answered whatever its name: only a malformed one is dropped.
            const auto reason = std::get<marld::Dropped>(outcome).reason;
            FUZZ_CHECK(id != MARL_MSG_QUERY_POINT || reason <= marld::DropReason::trailingBytes);
        }
        FUZZ_CHECK(store_.size() == points_.size());
        for (const auto& [name, set] : points_) {
            const marld::PointState* point = store_.find(name);
            FUZZ_CHECK(point != nullptr && point->isSet == set);
        }
    }

private:
    marld::PointStore store_{3}; // small, so that the store fills up
    marld::PointNames names_;
    marld::DatagramHandler handler_{store_, names_};
    std::map<std::string, bool> points_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    Service service((data[0] & 1) != 0); // bit 0 restricts the service to a list of names
    for (std::size_t at = 1; at < size;) {
        // The length's two bytes, or what is left of them; the last datagram
        // is cut at the end of the input.
        std::size_t length = data[at++];
        if (at < size) {
            length = length << 8 | data[at++];
        }
        length = std::min(length, size - at);
        const auto datagram = std::make_unique<std::uint8_t[]>(length);
        std::copy(data + at, data + at + length, datagram.get());
        service.handle(datagram.get(), length);
        at += length;
    }
    return 0;
}

std::vector<FuzzInput> marlFuzzSeeds()
{
    using marl::QueryDatagram;
    using marl::UpdateDatagram;
    const t_threshold_info threshold{const_cast<char*>("temperature"), {const_cast<char*>("up"), 60.0F, 80.0F}, 82.5F, 1'700'000'000};
    const marl::DynamicInfoView info{&threshold, {"fan speed", "u", "p", "d", "1", "2"}};
    const marl::DynamicInfoView none;
    const std::string fan = "fan-tray-2/overheat";
    const auto series = [](std::uint8_t options, const std::vector<FuzzInput>& datagrams) {
        FuzzInput bytes{options};
        for (const FuzzInput& datagram : datagrams) {
            bytes.insert(bytes.end(), {static_cast<std::uint8_t>(datagram.size() >> 8), static_cast<std::uint8_t>(datagram.size())});
            bytes.insert(bytes.end(), datagram.begin(), datagram.end());
        }
        return bytes;
    };
    const auto d = [](const auto& datagram) { return marltest::datagramBytes(datagram); };
    FuzzInput withTrailingByte = d(QueryDatagram{"ab"});
    withTrailingByte.push_back(0);
    return {
        series(0, {d(UpdateDatagram{"ab", true}), d(QueryDatagram{"ab"}), d(UpdateDatagram{"ab", false}), d(QueryDatagram{"ab"})}),
        series(1, {d(UpdateDatagram{fan, true, &info}), d(QueryDatagram{fan}), d(QueryDatagram{"cd"}), d(UpdateDatagram{"cd", true})}),
        series(0, {d(UpdateDatagram{"p1", true}), d(UpdateDatagram{"p2", true}), d(UpdateDatagram{"p3", true}),
                   d(UpdateDatagram{"p4", true}), d(QueryDatagram{"p4"})}),
        series(0, {withTrailingByte, d(QueryDatagram{""}), d(QueryDatagram{std::string(601, 'n')}), d(UpdateDatagram{"ab", true, &none})}),
    };
}
