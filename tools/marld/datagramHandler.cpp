#include "datagramHandler.h"

#include <cstddef>
#include <memory>
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

// The fields of an update's record that the service acts on, read where the
// record puts them (it mirrors the datagram byte for byte). The header's
// other fields matter to no decision here, and reading all of them, field by
// field, cost more than the rest of an update's handling.
struct UpdateFields {
    std::uint8_t setPoint = 0;
    std::uint32_t pointNameLength = 0;
};

[[nodiscard]] bool getUpdateFields(marl::ByteReader& reader, UpdateFields& fields) noexcept
{
    constexpr std::size_t kSetPoint = offsetof(t_marl_update_point_msg, setPoint);
    constexpr std::size_t kNameLength = offsetof(t_marl_update_point_msg, pointNameLength);
    return reader.left() >= MARL_UPDATE_POINT_MSG_SIZE && reader.skip(kSetPoint) && reader.getU8(fields.setPoint) &&
           reader.skip(kNameLength - kSetPoint - 1) && reader.getU32(fields.pointNameLength);
}

// Writes the reply into `reply`, which grows only for a longer name than
// any before it.
[[nodiscard]] std::span<const std::uint8_t> queryReply(const marl::ResponseDatagram& response,
                                                       std::vector<std::uint8_t>& reply)
{
    reply.resize(marl::datagramSize(response));
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

std::size_t DatagramHandler::prefetch(const std::uint8_t* bytes, std::size_t size) const noexcept
{
    if (!store_.prefetchPays()) {
        return 0; // reading the header twice would cost more than the misses
    }
    marl::ByteReader reader(bytes, size);
    std::uint32_t id = 0;
    UpdateFields fields;
    if (!marl::ByteReader(bytes, size).getU32(id) ||
        (id != MARL_MSG_UPDATE_POINT && id != MARL_MSG_UPDATE_POINT_EXT) || !getUpdateFields(reader, fields)) {
        return 0;
    }
    const auto split = splitBody(reader, fields.pointNameLength);
    return split ? store_.prefetch(split->name) : 0;
}

Outcome DatagramHandler::handle(const std::uint8_t* bytes, std::size_t size, Endpoint sender,
                                WallClock::time_point now, std::size_t nameHash)
{
    ++counters_.received;
    // Of the header, only the identifier and the length matter to the
    // service; its other fields are not read at all.
    marl::ByteReader reader(bytes, size);
    std::uint32_t id = 0;
    std::int32_t length = 0;
    if (size < MSG_HEADER_SIZE || !reader.getU32(id) || !reader.getI32(length)) {
        return drop(DropReason::shortDatagram, std::nullopt);
    }
    if (id != MARL_MSG_UPDATE_POINT && id != MARL_MSG_UPDATE_POINT_EXT && id != MARL_MSG_QUERY_POINT) {
        return drop(DropReason::unknownId, id);
    }
    if (length < 0 || static_cast<std::size_t>(length) != size) {
        return drop(DropReason::lengthMismatch, id);
    }
    // What follows allocates. A service that runs short of memory drops the
    // datagram and goes on, rather than ending on the exception; the store is
    // changed last, by one step that either completes or changes nothing, so
    // a failure leaves no update half applied.
    try {
        return id == MARL_MSG_QUERY_POINT ? handleQuery(bytes, size, sender) : handleUpdate(bytes, size, id, now, nameHash);
    } catch (const std::bad_alloc&) {
        return drop(DropReason::outOfMemory, id);
    }
}

Outcome DatagramHandler::handleUpdate(const std::uint8_t* bytes, std::size_t size, std::uint32_t id,
                                      WallClock::time_point now, std::size_t nameHash)
{
    marl::ByteReader reader(bytes, size);
    UpdateFields fields;
    if (!getUpdateFields(reader, fields)) {
        return drop(DropReason::shortDatagram, id);
    }
    const auto split = splitBody(reader, fields.pointNameLength);
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
    // The block is decoded, and allocated where the store keeps it, before
    // anything changes: a failure there leaves the store as it was.
    std::unique_ptr<const RuntimeInfo> runtimeInfo;
    if (extended) {
        std::optional<RuntimeInfo> decoded = decodeRuntimeInfo(body.rest, body.restSize);
        if (!decoded) {
            return drop(DropReason::invalidRuntimeInfo, id);
        }
        runtimeInfo = std::make_unique<const RuntimeInfo>(std::move(*decoded));
    }
    // Drawn for acceptable updates only, so that malformed ones in between
    // leave the pick of the others alone.
    if (aids_.dropUpdates > 0 && draws_.next() < aids_.dropUpdates) {
        ++counters_.updatesWithheld;
        return UpdateWithheld{body.name, fields.setPoint != 0};
    }
    const auto change = store_.update(body.name, fields.setPoint != 0, now, std::move(runtimeInfo), nameHash);
    if (!change) {
        return drop(DropReason::storeFull, id);
    }
    ++counters_.updates;
    if (history_ != nullptr && (change->updateCount == 1 || change->oldSet != change->newSet)) {
        recordChange(body.name, *change->point, now);
    }
    // The block shown is the one the store keeps: it stays until the point's
    // next update, which is a later datagram's.
    return UpdateAccepted{body.name, extended, *change, extended ? change->point->runtimeInfo.get() : nullptr};
}

void DatagramHandler::recordChange(std::string_view name, const PointState& point, WallClock::time_point now) noexcept
{
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
    // Of a query's record, as of an update's, only what is acted on is read.
    std::uint32_t nameLength = 0;
    if (size < MARL_QUERY_POINT_MSG_SIZE || !reader.skip(offsetof(t_marl_query_point_msg, pointNameLength)) ||
        !reader.getU32(nameLength)) {
        return drop(DropReason::shortDatagram, MARL_MSG_QUERY_POINT);
    }
    const auto split = splitBody(reader, nameLength);
    if (!split) {
        return drop(DropReason::nameOverrun, MARL_MSG_QUERY_POINT);
    }
    const Body& body = *split;
    if (body.restSize != 0) {
        return drop(DropReason::trailingBytes, MARL_MSG_QUERY_POINT);
    }
    QueryAnswered answer;
    answer.point = body.name;
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
    answer.reply = queryReply({body.name, answer.pointIsSet, answer.returnCode}, reply_);
    ++counters_.queries;
    counters_.queriesRefused += answer.returnCode == MARL_MSG_RC_INVALID_POINT_ID ? 1 : 0;
    return answer;
}

} // namespace marld
