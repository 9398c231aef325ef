#include "datagramHandler.h"

#include <new>
#include <numeric>
#include <utility>

#include "byteStream.h"
#include "marlRecords.h"

namespace marld {

namespace {

// What follows the record: the name and, for an extended update, the block.
struct Body {
    std::string_view name;
    const std::uint8_t* rest;
    std::size_t restSize;
};

// Nothing when the name runs past the end of the datagram. The reader
// compares the name's length with the count of bytes left, so no length, not
// even 0xFFFFFFFF, can wrap a pointer around.
[[nodiscard]] std::optional<Body> splitBody(marl::ByteReader afterRecord, std::uint32_t nameLength)
{
    const auto* nameStart = reinterpret_cast<const char*>(afterRecord.position());
    if (!afterRecord.skip(nameLength)) {
        return std::nullopt;
    }
    return Body{std::string_view(nameStart, nameLength), afterRecord.position(), afterRecord.left()};
}

[[nodiscard]] std::vector<std::uint8_t> queryReply(const marl::ResponseDatagram& response)
{
    std::vector<std::uint8_t> reply(marl::datagramSize(response));
    marl::ByteWriter writer(reply.data(), reply.size());
    // Cannot fail, the buffer having exactly the room needed; were it ever
    // to, an empty reply is safer than a half-written one.
    if (!marl::putDatagram(writer, response)) {
        reply.clear();
    }
    return reply;
}

} // namespace

std::uint64_t Counters::droppedTotal() const noexcept
{
    return std::accumulate(dropped.begin(), dropped.end(), std::uint64_t{0});
}

Outcome DatagramHandler::drop(DropReason reason, std::optional<std::uint32_t> id)
{
    ++counters_.dropped[static_cast<std::size_t>(reason)];
    return Dropped{reason, id};
}

void DatagramHandler::prefetch(const std::uint8_t* bytes, std::size_t size) const noexcept
{
    marl::ByteReader reader(bytes, size);
    t_marl_update_point_msg msg{};
    if (!marl::getUpdatePointMsg(reader, msg) ||
        (msg.header.id != MARL_MSG_UPDATE_POINT && msg.header.id != MARL_MSG_UPDATE_POINT_EXT)) {
        return;
    }
    if (const auto split = splitBody(reader, msg.pointNameLength)) {
        store_.prefetch(split->name);
    }
}

Outcome DatagramHandler::handle(const std::uint8_t* bytes, std::size_t size, Endpoint sender,
                                WallClock::time_point now)
{
    ++counters_.received;
    marl::ByteReader reader(bytes, size);
    msgHeaderNt header{};
    if (!marl::getHeader(reader, header)) {
        return drop(DropReason::shortDatagram, std::nullopt);
    }
    const std::uint32_t id = header.id;
    if (id != MARL_MSG_UPDATE_POINT && id != MARL_MSG_UPDATE_POINT_EXT && id != MARL_MSG_QUERY_POINT) {
        return drop(DropReason::unknownId, id);
    }
    if (header.length < 0 || static_cast<std::size_t>(header.length) != size) {
        return drop(DropReason::lengthMismatch, id);
    }
    // What follows allocates. A service that runs short of memory drops the
    // datagram and goes on, rather than ending on the exception; the store is
    // changed last, by one step that either completes or changes nothing, so
    // a failure leaves no update half applied.
    try {
        return id == MARL_MSG_QUERY_POINT ? handleQuery(bytes, size, sender) : handleUpdate(bytes, size, id, now);
    } catch (const std::bad_alloc&) {
        return drop(DropReason::outOfMemory, id);
    }
}

Outcome DatagramHandler::handleUpdate(const std::uint8_t* bytes, std::size_t size, std::uint32_t id,
                                      WallClock::time_point now)
{
    marl::ByteReader reader(bytes, size);
    t_marl_update_point_msg msg{};
    if (!marl::getUpdatePointMsg(reader, msg)) {
        return drop(DropReason::shortDatagram, id);
    }
    const auto split = splitBody(reader, msg.pointNameLength);
    if (!split) {
        return drop(DropReason::nameOverrun, id);
    }
    const Body& body = *split;
    const bool extended = id == MARL_MSG_UPDATE_POINT_EXT;
    if (!extended && body.restSize != 0) {
        return drop(DropReason::trailingBytes, id);
    }
    if (!names_.accepts(body.name)) {
        return drop(DropReason::invalidName, id);
    }
    // With an acceptable name, only an extended update's block can make it
    // longer than an update may be.
    if (size > MARL_MAX_UPDATE_MSG_LENGTH) {
        return drop(DropReason::updateTooLong, id);
    }
    std::optional<RuntimeInfo> runtimeInfo;
    if (extended) {
        runtimeInfo = decodeRuntimeInfo(body.rest, body.restSize);
        if (!runtimeInfo) {
            return drop(DropReason::invalidRuntimeInfo, id);
        }
    }
    // Drawn for acceptable updates only, so that malformed ones in between
    // leave the pick of the others alone.
    if (aids_.dropUpdates > 0 && draws_.next() < aids_.dropUpdates) {
        UpdateWithheld withheld{std::string(body.name), msg.setPoint != 0};
        ++counters_.updatesWithheld;
        return withheld;
    }
    // Made before the store changes, so that nothing can fail after it has.
    UpdateAccepted accepted{std::string(body.name), extended, {}, runtimeInfo};
    const auto change = store_.update(body.name, msg.setPoint != 0, now, std::move(runtimeInfo));
    if (!change) {
        return drop(DropReason::storeFull, id);
    }
    accepted.change = *change;
    ++counters_.updates;
    if (history_ != nullptr && (change->updateCount == 1 || change->oldSet != change->newSet)) {
        recordChange(body.name, now);
    }
    return accepted;
}

void DatagramHandler::recordChange(std::string_view name, WallClock::time_point now) noexcept
{
    const PointState& point = *store_.find(name);
    // The update is applied; without the memory to remember it in the
    // history, the history misses this one change.
    try {
        history_->record(name, StateChange{now, point.isSet,
                                           point.runtimeInfo ? std::make_shared<const RuntimeInfo>(*point.runtimeInfo)
                                                             : nullptr});
    } catch (const std::bad_alloc&) {
        ++counters_.historyLost;
    }
}

Outcome DatagramHandler::handleQuery(const std::uint8_t* bytes, std::size_t size, Endpoint sender)
{
    marl::ByteReader reader(bytes, size);
    t_marl_query_point_msg msg{};
    if (!marl::getQueryPointMsg(reader, msg)) {
        return drop(DropReason::shortDatagram, MARL_MSG_QUERY_POINT);
    }
    const auto split = splitBody(reader, msg.pointNameLength);
    if (!split) {
        return drop(DropReason::nameOverrun, MARL_MSG_QUERY_POINT);
    }
    const Body& body = *split;
    if (body.restSize != 0) {
        return drop(DropReason::trailingBytes, MARL_MSG_QUERY_POINT);
    }
    QueryAnswered answer;
    answer.point = std::string(body.name);
    answer.replyTo = sender;
    if (!names_.accepts(body.name)) {
        answer.returnCode = MARL_MSG_RC_INVALID_POINT_ID;
    } else if (const PointState* point = store_.find(body.name)) {
        answer.pointIsSet = point->isSet;
    }
    if (aids_.replyCode) {
        answer.returnCode = *aids_.replyCode;
        ++counters_.repliesCoded;
    }
    answer.reply = queryReply({body.name, answer.pointIsSet, answer.returnCode});
    ++counters_.queries;
    counters_.queriesRefused += answer.returnCode == MARL_MSG_RC_INVALID_POINT_ID ? 1 : 0;
    return answer;
}

} // namespace marld
