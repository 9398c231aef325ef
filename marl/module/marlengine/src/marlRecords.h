// Field-by-field big-endian encoding of the message records of marlmsg.h.
//
// The records are filled in host order and written through a ByteWriter, or
// read through a ByteReader, so the bytes on the wire never depend on the
// host's byte order or on how the compiler lays out a packed record. Every
// function reads or writes exactly the record's wire size, or fails without
// writing its output record.
//
// Responses are only written here: the client reads just the three fields it
// needs, and a return code off the wire may hold any 32-bit value, which the
// record's enumeration cannot represent in C++.
#pragma once

#include "byteStream.h"
#include "marlmsg.h"

namespace marl {

[[nodiscard]] bool putHeader(ByteWriter& writer, const msgHeaderNt& header) noexcept;
[[nodiscard]] bool putUpdatePointMsg(ByteWriter& writer, const t_marl_update_point_msg& msg) noexcept;
[[nodiscard]] bool putQueryPointMsg(ByteWriter& writer, const t_marl_query_point_msg& msg) noexcept;
[[nodiscard]] bool putQueryPointResponseMsg(ByteWriter& writer, const t_marl_query_point_response_msg& msg) noexcept;

[[nodiscard]] bool getHeader(ByteReader& reader, msgHeaderNt& header) noexcept;
[[nodiscard]] bool getUpdatePointMsg(ByteReader& reader, t_marl_update_point_msg& msg) noexcept;
[[nodiscard]] bool getQueryPointMsg(ByteReader& reader, t_marl_query_point_msg& msg) noexcept;

} // namespace marl
