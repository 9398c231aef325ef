// The runtime-information codec on bounded streams: the code behind the four
// exported oamMarl* functions (marlEncDec.h), for code inside the project
// that knows where its buffer or datagram ends.
//
// The exported functions know no size; they call this core with a stream of
// unlimited room (SIZE_MAX, which never forms an end pointer). The client
// writes into its datagram buffer through a writer bounded by the datagram's
// length, and the point service reads a received block through a reader
// bounded by the datagram's end.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "byteStream.h"
#include "marlEncDec.h"

namespace marl {

// The six texts after the threshold section, in wire order, with the most
// characters of each that travel.
inline constexpr std::size_t kTextCount = 6;
struct TextField {
    const char* name;
    std::uint16_t maxLength;
};
inline constexpr std::array<TextField, kTextCount> kTextFields{{
    {"monitoredAttributes", MARL_MAX_MONITORED_ATTRIBUTES_LENGTH},
    {"serviceUser", MARL_MAX_DESCRIPTIVE_TEXT_LENGTH},
    {"serviceProvider", MARL_MAX_DESCRIPTIVE_TEXT_LENGTH},
    {"securityAlarmDetector", MARL_MAX_DESCRIPTIVE_TEXT_LENGTH},
    {"additionalText1", MARL_MAX_DESCRIPTIVE_TEXT_LENGTH},
    {"additionalText2", MARL_MAX_DESCRIPTIVE_TEXT_LENGTH},
}};

// Adds sizes without wrapping: a sum too large for size_t stays at SIZE_MAX,
// which no limit accepts.
[[nodiscard]] constexpr std::size_t addSaturating(std::size_t total, std::size_t more) noexcept
{
    return more > SIZE_MAX - total ? SIZE_MAX : total + more;
}

// Writes `text` as a counted string of at most `maxLength` characters. A null
// or empty text, or one cut to nothing, is written as the length 0 alone,
// which a reader takes back as null; so a reader stays in step with the
// writer. False when the writer runs out of room.
[[nodiscard]] bool encodeString(ByteWriter& writer, const char* text, std::uint16_t maxLength) noexcept;

// What one dynamic information block carries, borrowed from the caller. Any
// member may be null.
struct DynamicInfoView {
    const t_threshold_info* thresholdInfo = nullptr;
    std::array<const char*, kTextCount> texts{};
};

// True when the view carries anything at all.
[[nodiscard]] bool carriesRuntimeInfo(const DynamicInfoView& info) noexcept;

// The block's size as a sender counts it: every text at its full length with
// its NUL, uncut, and an empty text as three bytes. The encoded block is never
// longer; a datagram sized so ends in zero bytes where the block came out
// shorter. Saturates at SIZE_MAX, which no limit accepts.
[[nodiscard]] std::size_t countedBlockSize(const DynamicInfoView& info) noexcept;

// Writes the block, each text cut to its maximum. False when the writer runs
// out of room.
[[nodiscard]] bool encodeDynamicInfo(ByteWriter& writer, const DynamicInfoView& info) noexcept;

enum class DecodeStatus {
    ok,
    // The input ends inside an item. Not logged: the caller knows what the
    // input was and reports it its own way.
    pastEnd,
    // Everything was read, but a text was followed by a byte other than NUL,
    // so the input was not written by our writers. The texts are complete all
    // the same (each produced text ends in a NUL of the reader's own). Not
    // logged.
    missingNul,
    // An allocation failed; logged.
    outOfMemory,
};

// Reads one counted string into `text`: a new malloc'd copy ending in a NUL,
// or null for the length 0. `text` is set unless the status is pastEnd (null
// after outOfMemory).
[[nodiscard]] DecodeStatus decodeString(ByteReader& reader, char*& text) noexcept;

// The block as read: every member null until read, all malloc'd and owned by
// whoever holds the struct.
struct DynamicInfo {
    t_threshold_info* thresholdInfo = nullptr;
    std::array<char*, kTextCount> texts{};
};

// Reads one block into `info`, overwriting every member (release what it held
// before). Whatever the status, `info` holds what was produced before the
// reading stopped, and the caller releases it with releaseDynamicInfo. After
// outOfMemory the record's numbers and the later texts are missing.
[[nodiscard]] DecodeStatus decodeDynamicInfo(ByteReader& reader, DynamicInfo& info) noexcept;

// Frees a threshold record with its two texts; null is fine.
void releaseThresholdInfo(t_threshold_info* thresholdInfo) noexcept;

// Frees everything `info` holds and sets every member to null.
void releaseDynamicInfo(DynamicInfo& info) noexcept;

} // namespace marl
