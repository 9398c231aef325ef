#include "marlRecords.h"

namespace marl {

namespace {

// control, the two sequence numbers and the three times.
constexpr std::uint8_t kZeroHeaderTail[MSG_HEADER_SIZE - 8] = {};

// A header with only the identifier and the length set; its length comes
// from a size checked against the limits, so it fits the 32-bit field.
[[nodiscard]] bool putHeader(ByteWriter& writer, std::uint32_t id, std::size_t length) noexcept
{
    return writer.putU32(id) && writer.putU32(static_cast<std::uint32_t>(length)) &&
           writer.putBytes(kZeroHeaderTail, sizeof kZeroHeaderTail);
}

[[nodiscard]] bool putName(ByteWriter& writer, std::string_view name) noexcept
{
    return writer.putU32(static_cast<std::uint32_t>(name.size())) && writer.putBytes(name.data(), name.size());
}

[[nodiscard]] std::size_t plus(std::size_t record, std::string_view name) noexcept
{
    return name.size() > SIZE_MAX - record ? SIZE_MAX : record + name.size();
}

[[nodiscard]] bool getTimeval(ByteReader& reader, msgTimevalNt& time) noexcept
{
    return reader.getI32(time.tv_sec) && reader.getI32(time.tv_usec);
}

} // namespace

std::size_t datagramSize(const UpdateDatagram& update) noexcept
{
    const std::size_t plain = plus(MARL_UPDATE_POINT_MSG_SIZE, update.name);
    if (update.runtimeInfo == nullptr) {
        return plain;
    }
    const std::size_t block = countedBlockSize(*update.runtimeInfo);
    return block > SIZE_MAX - plain ? SIZE_MAX : plain + block;
}

std::size_t datagramSize(const QueryDatagram& query) noexcept
{
    return plus(MARL_QUERY_POINT_MSG_SIZE, query.name);
}

std::size_t datagramSize(const ResponseDatagram& response) noexcept
{
    return plus(MARL_QUERY_POINT_RESPONSE_MSG_SIZE, response.name);
}

bool putDatagram(ByteWriter& writer, const UpdateDatagram& update) noexcept
{
    const DynamicInfoView* info = update.runtimeInfo;
    const std::size_t size = datagramSize(update);
    const std::size_t room = writer.room();
    if (!(putHeader(writer, info != nullptr ? MARL_MSG_UPDATE_POINT_EXT : MARL_MSG_UPDATE_POINT, size) &&
          writer.putU8(update.set ? 1 : 0) && writer.putU8(0) && putName(writer, update.name) &&
          (info == nullptr || encodeDynamicInfo(writer, *info)))) {
        return false;
    }
    // The size counts every text at its full length: what a cut text leaves
    // over is zero bytes, written here so that no buffer needs zero-filling.
    return writer.putZeros(size - (room - writer.room()));
}

bool putDatagram(ByteWriter& writer, const QueryDatagram& query) noexcept
{
    return putHeader(writer, MARL_MSG_QUERY_POINT, datagramSize(query)) && putName(writer, query.name);
}

bool putDatagram(ByteWriter& writer, const ResponseDatagram& response) noexcept
{
    return putHeader(writer, MARL_MSG_QUERY_POINT_RESPONSE, datagramSize(response)) &&
           writer.putU8(response.pointIsSet ? 1 : 0) && writer.putU32(response.returnCode) &&
           putName(writer, response.name);
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
    ResponseFields read;
    if (reader.left() < MARL_QUERY_POINT_RESPONSE_MSG_SIZE - 4 ||
        !(getHeader(reader, read.header) && reader.getU8(read.pointIsSet) && reader.getU32(read.returnCode))) {
        return false;
    }
    // Optional: a reply may end before the length, or before the name.
    if (reader.getU32(read.pointNameLength) && read.pointNameLength <= reader.left()) {
        read.pointName = {reinterpret_cast<const char*>(reader.position()), read.pointNameLength};
    }
    response = read;
    return true;
}

} // namespace marl
