#include "marlRecords.h"

namespace marl {

namespace {

[[nodiscard]] bool putTimeval(ByteWriter& writer, const msgTimevalNt& time) noexcept
{
    return writer.putI32(time.tv_sec) && writer.putI32(time.tv_usec);
}

} // namespace

bool putHeader(ByteWriter& writer, const msgHeaderNt& header) noexcept
{
    return writer.putU32(header.id) && writer.putI32(header.length) && writer.putU32(header.control) &&
           writer.putU16(header.sequence) && writer.putU16(header.sequenceReply) &&
           putTimeval(writer, header.txTime) && putTimeval(writer, header.rxTime) &&
           putTimeval(writer, header.timeReply);
}

bool putUpdatePointMsg(ByteWriter& writer, const t_marl_update_point_msg& msg) noexcept
{
    return putHeader(writer, msg.header) && writer.putU8(msg.setPoint) && writer.putU8(msg.sendResponse) &&
           writer.putU32(msg.pointNameLength);
}

} // namespace marl
