// marld's handling of received datagrams, on arbitrary bytes.
//
// The input is a series of datagrams, each after a two-byte length, handled
// in turn by one handler, so that queries meet points that earlier updates
// made. Each datagram lies in a heap block of exactly its size, so that
// AddressSanitizer sees a read one byte past it. After each one: exactly one
// counter moved; a query, and only a query, got one reply, which parses as a
// well-formed response for the queried name and tells the state that the
// updates accepted so far give that point; an accepted update is one the
// service may take; nothing but an accepted update changed the store.
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>

#include "byteStream.h"
#include "datagramHandler.h"
#include "fuzz_target.h"
#include "marlEncDec.h"
#include "marlEncDecCore.h"
#include "marlRecords.h"

namespace {

constexpr marld::Endpoint kSender{0x7F000001, 40000};
constexpr std::size_t kMaxPoints = 3; // small, so that the store fills up
const marld::WallClock::time_point kNow{std::chrono::seconds(1'700'000'000)};

std::uint32_t be32(const std::uint8_t* bytes)
{
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 | std::uint32_t{bytes[2]} << 8 | bytes[3];
}

// The reply, read with the project's bounded reader and checked field by
// field against the query it answers.
void checkReply(const std::vector<std::uint8_t>& reply, std::string_view name, bool pointIsSet,
                t_marl_msg_return_code returnCode)
{
    marl::ByteReader reader(reply.data(), reply.size());
    msgHeaderNt header{};
    std::uint8_t isSet = 0;
    std::uint32_t code = 0;
    std::uint32_t nameLength = 0;
    FUZZ_CHECK(marl::getHeader(reader, header) && reader.getU8(isSet) && reader.getU32(code) &&
               reader.getU32(nameLength));
    FUZZ_CHECK(header.id == MARL_MSG_QUERY_POINT_RESPONSE);
    FUZZ_CHECK(header.length >= 0 && static_cast<std::size_t>(header.length) == reply.size());
    FUZZ_CHECK(nameLength == reader.left() && nameLength == name.size());
    FUZZ_CHECK(std::string_view(reinterpret_cast<const char*>(reader.position()), reader.left()) == name);
    FUZZ_CHECK(isSet == (pointIsSet ? 1 : 0));
    FUZZ_CHECK(code == static_cast<std::uint32_t>(returnCode));
}

class Service {
public:
    explicit Service(bool restricted)
    {
        if (restricted) {
            std::istringstream list("ab\nfan-tray-2/overheat\n");
            std::string error;
            names_ = *marld::PointNames::fromList(list, error);
        }
    }

    void handle(const std::uint8_t* bytes, std::size_t size)
    {
        const marld::Counters before = handler_.counters();
        const marld::Outcome outcome = handler_.handle(bytes, size, kSender, kNow);
        const marld::Counters& after = handler_.counters();
        FUZZ_CHECK(after.received == before.received + 1);
        FUZZ_CHECK(after.updates + after.queries + after.droppedTotal() ==
                   before.updates + before.queries + before.droppedTotal() + 1);
        const std::uint32_t id = size >= 4 ? be32(bytes) : 0;
        if (const auto* answer = std::get_if<marld::QueryAnswered>(&outcome)) {
            FUZZ_CHECK(id == MARL_MSG_QUERY_POINT && after.queries == before.queries + 1);
            // The name is all that follows the 44-byte record.
            FUZZ_CHECK(size >= MARL_QUERY_POINT_MSG_SIZE);
            const std::string_view name(reinterpret_cast<const char*>(bytes) + MARL_QUERY_POINT_MSG_SIZE,
                                        size - MARL_QUERY_POINT_MSG_SIZE);
            FUZZ_CHECK(answer->point == name);
            FUZZ_CHECK(answer->replyTo.address == kSender.address && answer->replyTo.port == kSender.port);
            const bool valid = names_.accepts(name);
            const auto known = points_.find(std::string(name));
            checkReply(answer->reply, name, valid && known != points_.end() && known->second,
                       valid ? MARL_MSG_RC_OK : MARL_MSG_RC_INVALID_POINT_ID);
        } else if (const auto* update = std::get_if<marld::UpdateAccepted>(&outcome)) {
            FUZZ_CHECK(id == (update->extended ? MARL_MSG_UPDATE_POINT_EXT : MARL_MSG_UPDATE_POINT));
            FUZZ_CHECK(after.updates == before.updates + 1);
            FUZZ_CHECK(size <= MARL_MAX_UPDATE_MSG_LENGTH && names_.accepts(update->point));
            const bool set = bytes[MSG_HEADER_SIZE] != 0;
            FUZZ_CHECK(update->change.newSet == set);
            points_[update->point] = set;
        } else {
            // A query is answered whatever its name: only a malformed one is dropped.
            const auto reason = std::get<marld::Dropped>(outcome).reason;
            FUZZ_CHECK(id != MARL_MSG_QUERY_POINT || reason == marld::DropReason::shortDatagram ||
                       reason == marld::DropReason::lengthMismatch || reason == marld::DropReason::nameOverrun ||
                       reason == marld::DropReason::trailingBytes);
        }
        // The store holds exactly the points that accepted updates made.
        FUZZ_CHECK(store_.size() == points_.size());
        for (const auto& [name, set] : points_) {
            const marld::PointState* point = store_.find(name);
            FUZZ_CHECK(point != nullptr && point->isSet == set);
        }
    }

private:
    marld::PointStore store_{kMaxPoints};
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
    // The first byte: bit 0 restricts the service to a list of names.
    Service service((data[0] & 1) != 0);
    std::size_t at = 1;
    while (at < size) {
        // The length's two bytes, or what is left of them; a datagram is cut
        // at the end of the input.
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

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes update(std::uint32_t id, std::uint8_t setPoint, const std::string& name, const Bytes& block = {})
{
    t_marl_update_point_msg msg{};
    msg.header.id = id;
    msg.header.length = static_cast<msgLengthNt>(MARL_UPDATE_POINT_MSG_SIZE + name.size() + block.size());
    msg.setPoint = setPoint;
    msg.pointNameLength = static_cast<std::uint32_t>(name.size());
    Bytes bytes(static_cast<std::size_t>(msg.header.length));
    marl::ByteWriter writer(bytes.data(), bytes.size());
    FUZZ_CHECK(marl::putUpdatePointMsg(writer, msg) && writer.putBytes(name.data(), name.size()) &&
               writer.putBytes(block.data(), block.size()));
    return bytes;
}

Bytes query(const std::string& name)
{
    t_marl_query_point_msg msg{};
    msg.header.id = MARL_MSG_QUERY_POINT;
    msg.header.length = static_cast<msgLengthNt>(MARL_QUERY_POINT_MSG_SIZE + name.size());
    msg.pointNameLength = static_cast<std::uint32_t>(name.size());
    Bytes bytes(static_cast<std::size_t>(msg.header.length));
    marl::ByteWriter writer(bytes.data(), bytes.size());
    FUZZ_CHECK(marl::putQueryPointMsg(writer, msg) && writer.putBytes(name.data(), name.size()));
    return bytes;
}

Bytes block(const marl::DynamicInfoView& view)
{
    Bytes bytes(MARL_DYNAMIC_INFO_MAX_SIZE);
    marl::ByteWriter writer(bytes.data(), bytes.size());
    FUZZ_CHECK(marl::encodeDynamicInfo(writer, view));
    bytes.resize(bytes.size() - writer.room());
    return bytes;
}

Bytes series(std::uint8_t options, const std::vector<Bytes>& datagrams)
{
    Bytes bytes{options};
    for (const Bytes& datagram : datagrams) {
        bytes.push_back(static_cast<std::uint8_t>(datagram.size() >> 8));
        bytes.push_back(static_cast<std::uint8_t>(datagram.size()));
        bytes.insert(bytes.end(), datagram.begin(), datagram.end());
    }
    return bytes;
}

} // namespace

std::vector<FuzzInput> marlFuzzSeeds()
{
    char attributeId[] = "temperature";
    char indication[] = "up";
    const t_threshold_info threshold{attributeId, {indication, 60.0F, 80.0F}, 82.5F, 1'700'000'000};
    const std::string fan = "fan-tray-2/overheat";
    Bytes withTrailingByte = query("ab");
    withTrailingByte.push_back(0);
    return {
        series(0, {update(MARL_MSG_UPDATE_POINT, 1, "ab"), query("ab"), update(MARL_MSG_UPDATE_POINT, 0, "ab"),
                   query("ab")}),
        series(1, {update(MARL_MSG_UPDATE_POINT_EXT, 1, fan, block({&threshold, "fan speed", "u", "p", "d", "1", "2"})),
                   query(fan), query("cd"), update(MARL_MSG_UPDATE_POINT, 1, "cd")}),
        series(0, {update(MARL_MSG_UPDATE_POINT, 1, "p1"), update(MARL_MSG_UPDATE_POINT, 1, "p2"),
                   update(MARL_MSG_UPDATE_POINT, 1, "p3"), update(MARL_MSG_UPDATE_POINT, 1, "p4"), query("p4")}),
        series(0, {withTrailingByte, query(""), query(std::string(601, 'n')),
                   update(MARL_MSG_UPDATE_POINT_EXT, 1, "ab", block({}))}),
    };
}
