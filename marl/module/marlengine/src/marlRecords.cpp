#include "marlRecords.h"

namespace marl {

namespace {

[[nodiscard]] bool putTimeval(ByteWriter& writer, msgTimevalNt time) noexcept
{
    return writer.putI32(time.tv_sec) && writer.putI32(time.tv_usec);
}

[[nodiscard]] bool getTimeval(ByteReader& reader, msgTimevalNt& time) noexcept
{
    return reader.getI32(time.tv_sec) && reader.getI32(time.tv_usec);
}

} // namespace

bool putHeader(ByteWriter& writer, const msgHeaderNt& header) noexcept
{
    return writer.putU32(header.id) && writer.putI32(header.length) && writer.putU32(header.control) &&
           writer.putU16(header.sequence) && writer.putU16(header.sequenceReply) &&
           putTimeval(writer, header.txTime) && putTimeval(writer, header.rxTime) &&
           putTimeval(writer, header.timeReply);
}

// Records are packed, so their fields cannot be bound to references: each
// put takes the fields by value and each get reads into locals first.

bool putUpdatePointMsg(ByteWriter& writer, const t_marl_update_point_msg& msg) noexcept
{
    const msgHeaderNt header = msg.header;
    return writer.room() >= MARL_UPDATE_POINT_MSG_SIZE && putHeader(writer, header) && writer.putU8(msg.setPoint) &&
           writer.putU8(msg.sendResponse) && writer.putU32(msg.pointNameLength);
}

bool putQueryPointMsg(ByteWriter& writer, const t_marl_query_point_msg& msg) noexcept
{
    const msgHeaderNt header = msg.header;
    return writer.room() >= MARL_QUERY_POINT_MSG_SIZE && putHeader(writer, header) &&
           writer.putU32(msg.pointNameLength);
}

bool putQueryPointResponseMsg(ByteWriter& writer, const t_marl_query_point_response_msg& msg) noexcept
{
    const msgHeaderNt header = msg.header;
    return writer.room() >= MARL_QUERY_POINT_RESPONSE_MSG_SIZE && putHeader(writer, header) &&
           writer.putU8(msg.pointIsSet) && writer.putU32(static_cast<std::uint32_t>(msg.returnCode)) &&
           writer.putU32(msg.pointNameLength);
}

bool getHeader(ByteReader& reader, msgHeaderNt& header) noexcept
{
    if (reader.left() < MSG_HEADER_SIZE) {
        return false;
    }
    msgHeaderNt read{};
    if (!(reader.getU32(read.id) && reader.getI32(read.length) && reader.getU32(read.control) &&
          reader.getU16(read.sequence) && reader.getU16(read.sequenceReply) && getTimeval(reader, read.txTime) &&
          getTimeval(reader, read.rxTime) && getTimeval(reader, read.timeReply))) {
        return false;
    }
    header = read;
    return true;
}

bool getUpdatePointMsg(ByteReader& reader, t_marl_update_point_msg& msg) noexcept
{
    if (reader.left() < MARL_UPDATE_POINT_MSG_SIZE) {
        return false;
    }
    msgHeaderNt header{};
    std::uint8_t setPoint = 0;
    std::uint8_t sendResponse = 0;
    std::uint32_t nameLength = 0;
    if (!(getHeader(reader, header) && reader.getU8(setPoint) && reader.getU8(sendResponse) &&
          reader.getU32(nameLength))) {
        return false;
    }
    msg.header = header;
    msg.setPoint = setPoint;
    msg.sendResponse = sendResponse;
    msg.pointNameLength = nameLength;
    return true;
}

bool getQueryPointMsg(ByteReader& reader, t_marl_query_point_msg& msg) noexcept
{
    if (reader.left() < MARL_QUERY_POINT_MSG_SIZE) {
        return false;
    }
    msgHeaderNt header{};
    std::uint32_t nameLength = 0;
    if (!(getHeader(reader, header) && reader.getU32(nameLength))) {
        return false;
    }
    msg.header = header;
    msg.pointNameLength = nameLength;
    return true;
}

} // namespace marl
