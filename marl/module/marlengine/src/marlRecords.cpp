#include "marlRecords.h"

namespace marl {

namespace {

// Each record writer writes its fields through a local copy of the caller's
// writer and hands the copy back once the whole record is written. Why: a
// byte store may alias any object, so fields written through the caller's
// writer would each reload and store its position and room; a local copy
// whose address never escapes stays in registers. The room for the whole
// record is checked first, so a record is written whole or not at all.

[[gnu::always_inline]] inline bool putTimeval(ByteWriter& writer, msgTimevalNt time) noexcept
{
    return writer.putI32(time.tv_sec) && writer.putI32(time.tv_usec);
}

[[gnu::always_inline]] inline bool putHeaderFields(ByteWriter& writer, const msgHeaderNt& header) noexcept
{
    return writer.putU32(header.id) && writer.putI32(header.length) && writer.putU32(header.control) &&
           writer.putU16(header.sequence) && writer.putU16(header.sequenceReply) &&
           putTimeval(writer, header.txTime) && putTimeval(writer, header.rxTime) &&
           putTimeval(writer, header.timeReply);
}

template <typename Fields>
[[gnu::always_inline]] inline bool putRecord(ByteWriter& writer, std::size_t size, Fields fields) noexcept
{
    ByteWriter local = writer;
    if (local.room() < size || !fields(local)) {
        return false;
    }
    writer = local;
    return true;
}

[[nodiscard]] bool getTimeval(ByteReader& reader, msgTimevalNt& time) noexcept
{
    return reader.getI32(time.tv_sec) && reader.getI32(time.tv_usec);
}

} // namespace

// Records are packed, so their fields cannot be bound to references: each
// put takes the fields by value and each get reads into locals first.

bool putHeader(ByteWriter& writer, const msgHeaderNt& header) noexcept
{
    return putRecord(writer, MSG_HEADER_SIZE, [&](ByteWriter& local) { return putHeaderFields(local, header); });
}

bool putUpdatePointMsg(ByteWriter& writer, const t_marl_update_point_msg& msg) noexcept
{
    const msgHeaderNt header = msg.header;
    return putRecord(writer, MARL_UPDATE_POINT_MSG_SIZE, [&](ByteWriter& local) {
        return putHeaderFields(local, header) && local.putU8(msg.setPoint) && local.putU8(msg.sendResponse) &&
               local.putU32(msg.pointNameLength);
    });
}

bool putQueryPointMsg(ByteWriter& writer, const t_marl_query_point_msg& msg) noexcept
{
    const msgHeaderNt header = msg.header;
    return putRecord(writer, MARL_QUERY_POINT_MSG_SIZE, [&](ByteWriter& local) {
        return putHeaderFields(local, header) && local.putU32(msg.pointNameLength);
    });
}

bool putQueryPointResponseMsg(ByteWriter& writer, const t_marl_query_point_response_msg& msg) noexcept
{
    const msgHeaderNt header = msg.header;
    return putRecord(writer, MARL_QUERY_POINT_RESPONSE_MSG_SIZE, [&](ByteWriter& local) {
        return putHeaderFields(local, header) && local.putU8(msg.pointIsSet) &&
               local.putU32(static_cast<std::uint32_t>(msg.returnCode)) && local.putU32(msg.pointNameLength);
    });
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
