#include "marlRecords.h"

#include <cstddef>
#include <cstring>

namespace marl {

namespace {

// The records go to the wire packed, each field at its offset in the record:
// a record's size is the sum of its fields', and the header has no padding
// on any host, so the offsets below are the wire's.
static_assert(sizeof(msgHeaderNt) == MSG_HEADER_SIZE);
static_assert(sizeof(t_marl_update_point_msg) == MARL_UPDATE_POINT_MSG_SIZE);
static_assert(sizeof(t_marl_query_point_msg) == MARL_QUERY_POINT_MSG_SIZE);
static_assert(sizeof(t_marl_query_point_response_msg) == MARL_QUERY_POINT_RESPONSE_MSG_SIZE);
static_assert(sizeof(t_marl_msg_return_code) == sizeof(std::uint32_t), "the return code travels as 32 bits");

// Where the header's zero fields start: control, the two sequence numbers and
// the three times.
constexpr std::size_t kHeaderZeros = offsetof(msgHeaderNt, control);

// A record of `size` bytes with the identifier and the datagram's length set
// and every other header field zero, then the name's length and bytes at
// `nameLengthAt`; the rest of the record is the caller's. Null when the
// writer has no room for record and name. The length comes from a size
// checked against the limits, so it fits the 32-bit field.
[[nodiscard]] std::uint8_t* putRecord(ByteWriter& writer, std::size_t size, std::uint32_t id, std::size_t length,
                                      std::size_t nameLengthAt, std::string_view name) noexcept
{
    std::uint8_t* record = writer.claim(size);
    if (record == nullptr) {
        return nullptr;
    }
    storeU32(record + offsetof(msgHeaderNt, id), id);
    storeU32(record + offsetof(msgHeaderNt, length), static_cast<std::uint32_t>(length));
    std::memset(record + kHeaderZeros, 0, MSG_HEADER_SIZE - kHeaderZeros);
    storeU32(record + nameLengthAt, static_cast<std::uint32_t>(name.size()));
    return writer.putBytes(name.data(), name.size()) ? record : nullptr;
}

[[nodiscard]] bool getTimeval(ByteReader& reader, msgTimevalNt& time) noexcept
{
    return reader.getI32(time.tv_sec) && reader.getI32(time.tv_usec);
}

} // namespace

std::size_t datagramSize(const UpdateDatagram& update) noexcept
{
    const std::size_t plain = addSaturating(MARL_UPDATE_POINT_MSG_SIZE, update.name.size());
    return update.runtimeInfo == nullptr ? plain : addSaturating(plain, countedBlockSize(*update.runtimeInfo));
}

std::size_t datagramSize(const QueryDatagram& query) noexcept
{
    return addSaturating(MARL_QUERY_POINT_MSG_SIZE, query.name.size());
}

std::size_t datagramSize(const ResponseDatagram& response) noexcept
{
    return addSaturating(MARL_QUERY_POINT_RESPONSE_MSG_SIZE, response.name.size());
}

bool putDatagram(ByteWriter& writer, const UpdateDatagram& update, std::size_t size) noexcept
{
    const DynamicInfoView* info = update.runtimeInfo;
    const std::size_t room = writer.room();
    std::uint8_t* record =
        putRecord(writer, MARL_UPDATE_POINT_MSG_SIZE, info != nullptr ? MARL_MSG_UPDATE_POINT_EXT : MARL_MSG_UPDATE_POINT,
                  size, offsetof(t_marl_update_point_msg, pointNameLength), update.name);
    if (record == nullptr) {
        return false;
    }
    record[offsetof(t_marl_update_point_msg, setPoint)] = update.set ? 1 : 0;
    record[offsetof(t_marl_update_point_msg, sendResponse)] = 0;
    if (info == nullptr) {
        return true;
    }
    // The size counts every text at its full length: what a cut text leaves
    // over is zero bytes, written here so that no buffer needs zero-filling.
    return encodeDynamicInfo(writer, *info) && writer.putZeros(size - (room - writer.room()));
}

bool putDatagram(ByteWriter& writer, const QueryDatagram& query, std::size_t size) noexcept
{
    return putRecord(writer, MARL_QUERY_POINT_MSG_SIZE, MARL_MSG_QUERY_POINT, size,
                     offsetof(t_marl_query_point_msg, pointNameLength), query.name) != nullptr;
}

bool putDatagram(ByteWriter& writer, const UpdateDatagram& update) noexcept
{
    return putDatagram(writer, update, datagramSize(update));
}

bool putDatagram(ByteWriter& writer, const QueryDatagram& query) noexcept
{
    return putDatagram(writer, query, datagramSize(query));
}

bool putDatagram(ByteWriter& writer, const ResponseDatagram& response) noexcept
{
    std::uint8_t* record =
        putRecord(writer, MARL_QUERY_POINT_RESPONSE_MSG_SIZE, MARL_MSG_QUERY_POINT_RESPONSE, datagramSize(response),
                  offsetof(t_marl_query_point_response_msg, pointNameLength), response.name);
    if (record == nullptr) {
        return false;
    }
    record[offsetof(t_marl_query_point_response_msg, pointIsSet)] = response.pointIsSet ? 1 : 0;
    storeU32(record + offsetof(t_marl_query_point_response_msg, returnCode), response.returnCode);
    return true;
}

// Each reader checks the room for its whole record first, so that a record
// is read whole or not at all; packed fields cannot be bound to references,
// so they go through locals.

bool getHeader(ByteReader& reader, msgHeaderNt& header) noexcept
{
    msgHeaderNt read{};
    if (reader.left() < MSG_HEADER_SIZE ||
        !(reader.getU32(read.id) && reader.getI32(read.length) && reader.getU32(read.control) &&
          reader.getU16(read.sequence) && reader.getU16(read.sequenceReply) && getTimeval(reader, read.txTime) &&
          getTimeval(reader, read.rxTime) && getTimeval(reader, read.timeReply))) {
        return false;
    }
    header = read;
    return true;
}

bool getHeaderIdAndLength(ByteReader& reader, std::uint32_t& id, std::int32_t& length) noexcept
{
    std::uint32_t readId = 0;
    std::int32_t readLength = 0;
    if (reader.left() < MSG_HEADER_SIZE ||
        !(reader.getU32(readId) && reader.getI32(readLength) && reader.skip(MSG_HEADER_SIZE - 8))) {
        return false;
    }
    id = readId;
    length = readLength;
    return true;
}

bool getUpdatePointFields(ByteReader& reader, t_marl_update_point_msg& msg) noexcept
{
    std::uint8_t setPoint = 0;
    std::uint8_t sendResponse = 0;
    std::uint32_t nameLength = 0;
    if (reader.left() < MARL_UPDATE_POINT_MSG_SIZE - MSG_HEADER_SIZE ||
        !(reader.getU8(setPoint) && reader.getU8(sendResponse) && reader.getU32(nameLength))) {
        return false;
    }
    msg.setPoint = setPoint;
    msg.sendResponse = sendResponse;
    msg.pointNameLength = nameLength;
    return true;
}

bool getQueryPointFields(ByteReader& reader, t_marl_query_point_msg& msg) noexcept
{
    std::uint32_t nameLength = 0;
    if (!reader.getU32(nameLength)) {
        return false;
    }
    msg.pointNameLength = nameLength;
    return true;
}

bool getResponse(ByteReader& reader, ResponseFields& response) noexcept
{
    // Up to returnCode; the name's length and the name are optional: a reply
    // may end before either.
    constexpr std::size_t kNameLengthAt = offsetof(t_marl_query_point_response_msg, pointNameLength);
    const std::uint8_t* record = reader.claim(kNameLengthAt);
    if (record == nullptr) {
        return false;
    }
    response.id = loadU32(record + offsetof(msgHeaderNt, id));
    response.pointIsSet = record[offsetof(t_marl_query_point_response_msg, pointIsSet)];
    response.returnCode = loadU32(record + offsetof(t_marl_query_point_response_msg, returnCode));
    response.pointName = {};
    std::uint32_t nameLength = 0;
    if (reader.getU32(nameLength) && nameLength <= reader.left()) {
        response.pointName = {reinterpret_cast<const char*>(reader.position()), nameLength};
    }
    return true;
}

} // namespace marl
