// Field-by-field big-endian encoding of the message records of marlmsg.h.
//
// The records are filled in host order and written through a ByteWriter, so
// the bytes on the wire never depend on the host's byte order or on how the
// compiler lays out a packed record.
#pragma once

#include "byteStream.h"
#include "marlmsg.h"

namespace marl {

[[nodiscard]] bool putHeader(ByteWriter& writer, const msgHeaderNt& header) noexcept;
[[nodiscard]] bool putUpdatePointMsg(ByteWriter& writer, const t_marl_update_point_msg& msg) noexcept;

} // namespace marl
