// The datagrams between the client and the point service, field by field and
// big-endian: one builder per datagram, one reader per record, for the
// library, the point service and every tool and test alike.
//
// The bytes never depend on the host's byte order or on how the compiler
// lays out a packed record. Every header field that a datagram does not set
// is zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "byteStream.h"
#include "marlEncDecCore.h"
#include "marlmsg.h"

namespace marl {

// MARL_MSG_UPDATE_POINT, or MARL_MSG_UPDATE_POINT_EXT when it carries
// runtime information.
struct UpdateDatagram {
    std::string_view name;
    bool set = false;
    const DynamicInfoView* runtimeInfo = nullptr;
};

// MARL_MSG_QUERY_POINT.
struct QueryDatagram {
    std::string_view name;
};

// MARL_MSG_QUERY_POINT_RESPONSE: the record, then the name it answers for.
struct ResponseDatagram {
    std::string_view name;
    bool pointIsSet = false;
    std::uint32_t returnCode = MARL_MSG_RC_OK;
};

// The length that the datagram's header states. An extended update counts
// its block as countedBlockSize does, so the datagram may end in zero bytes;
// the sum saturates at SIZE_MAX, which no limit accepts.
[[nodiscard]] std::size_t datagramSize(const UpdateDatagram& update) noexcept;
[[nodiscard]] std::size_t datagramSize(const QueryDatagram& query) noexcept;
[[nodiscard]] std::size_t datagramSize(const ResponseDatagram& response) noexcept;

// Writes the whole datagram, datagramSize bytes of it; false when the writer
// has less room (what fitted is then written). A sender that has computed
// the size already, to make its buffer, passes it on as `size`.
[[nodiscard]] bool putDatagram(ByteWriter& writer, const UpdateDatagram& update, std::size_t size) noexcept;
[[nodiscard]] bool putDatagram(ByteWriter& writer, const QueryDatagram& query, std::size_t size) noexcept;
[[nodiscard]] bool putDatagram(ByteWriter& writer, const UpdateDatagram& update) noexcept;
[[nodiscard]] bool putDatagram(ByteWriter& writer, const QueryDatagram& query) noexcept;
[[nodiscard]] bool putDatagram(ByteWriter& writer, const ResponseDatagram& response) noexcept;

// The record readers: false, with the output left alone, when the reader
// holds fewer bytes than they read. The point service reads, of a received
// header, only what it acts on, the identifier and the length (the rest is
// skipped: reading it field by field cost as much as the rest of an update's
// handling), to learn which record follows; then the fields of that record
// after it. A response's return code may hold any 32-bit value, which the
// record's enumeration cannot represent in C++, so it is read into
// ResponseFields.
[[nodiscard]] bool getHeader(ByteReader& reader, msgHeaderNt& header) noexcept;
[[nodiscard]] bool getHeaderIdAndLength(ByteReader& reader, std::uint32_t& id, std::int32_t& length) noexcept;
// setPoint, sendResponse and pointNameLength, after the header.
[[nodiscard]] bool getUpdatePointFields(ByteReader& reader, t_marl_update_point_msg& msg) noexcept;
// pointNameLength, after the header.
[[nodiscard]] bool getQueryPointFields(ByteReader& reader, t_marl_query_point_msg& msg) noexcept;

// What a query takes from a response: the record's fields up to returnCode,
// and the name it answers for.
struct ResponseFields {
    std::uint32_t id = 0;
    std::uint8_t pointIsSet = 0;
    std::uint32_t returnCode = 0;
    // The name, when pointNameLength and that many bytes lie within the
    // reader; empty when the reply carries none.
    std::string_view pointName{};
};
// The response up to returnCode (45 bytes), and its name as above.
[[nodiscard]] bool getResponse(ByteReader& reader, ResponseFields& response) noexcept;

} // namespace marl
