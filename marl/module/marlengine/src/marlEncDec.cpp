// Runtime-information codec: counted strings and the dynamic information
// block, on bounded streams (marlEncDecCore.h) and behind the four exported
// functions that know no sizes (marlEncDec.h).

#include "marlEncDec.h"

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "marlEncDecCore.h"
#include "marlLog.h"
#include "noCancellation.h"

namespace marl {

namespace {

static_assert(sizeof(float) == sizeof(std::uint32_t), "floats travel as their 32 IEEE-754 bits");

// One statement per message, so that each message has one source line, and
// the block reader's skipped steps log the very line of the string reader.
void logSwerrInvalidInput(const char* function) noexcept
{
    const NoCancellation deferred;
    MARL_LOG(LOG_CRIT, "Marl Swerr: %s: Invalid input parameter", function);
}

void logBlockInvalidInput(const char* function) noexcept
{
    const NoCancellation deferred;
    MARL_LOG(LOG_ERR, "%s: Invalid input parameter.", function);
}

// The threshold section's four numbers (low, high, observedValue, armTime),
// 32 bits each, which follow its two texts.
constexpr std::size_t kThresholdNumbersSize = 4 * sizeof(std::uint32_t);

// A counted string: its 16-bit length, then, unless it is 0, the text and a
// NUL.
constexpr std::size_t kLengthSize = sizeof(std::uint16_t);
constexpr std::size_t countedStringSize(std::size_t length) { return kLengthSize + (length != 0 ? length + 1 : 0); }

// The smallest block is its threshold length and six absent texts; the
// largest carries the threshold section and every text at its maximum.
constexpr std::size_t largestBlock()
{
    std::size_t size = kLengthSize + countedStringSize(MARL_MAX_ATTRIBUTE_ID_LENGTH) +
                       countedStringSize(MARL_MAX_INDICATION_LENGTH) + kThresholdNumbersSize;
    for (const TextField& field : kTextFields) {
        size += countedStringSize(field.maxLength);
    }
    return size;
}
static_assert(MARL_DYNAMIC_INFO_MIN_SIZE == kLengthSize + kTextCount * countedStringSize(0));
static_assert(MARL_DYNAMIC_INFO_MAX_SIZE == largestBlock());

// The length bytes, and the text with its NUL when present, uncut.
[[nodiscard]] std::size_t countedTextSize(const char* text) noexcept
{
    return kLengthSize + (text != nullptr ? std::strlen(text) + 1 : 0);
}

// Where a block read puts its results: the exported reader passes its
// caller's out-parameters, decodeDynamicInfo the members of its struct. Each
// is written when its step runs and not before, so that a failed read leaves
// the out-parameters of the steps it never reached as they were.
struct DynamicInfoTargets {
    t_threshold_info** thresholdInfo;
    std::array<char**, kTextCount> texts;
};

// Runs the text steps of one block in turn. Once a step has failed to
// allocate, the later ones have no position to read from: each logs the
// string reader's invalid-input line and writes nothing, and the block read
// ends with outOfMemory.
class TextSteps {
public:
    explicit TextSteps(ByteReader& reader) noexcept : reader_(reader) {}

    // False when the input ends inside the text: the block read stops there.
    [[nodiscard, gnu::always_inline]] bool read(char*& text) noexcept
    {
        if (allocationFailed_) {
            logSwerrInvalidInput("oamMarlDecodeString");
            return true;
        }
        const DecodeStatus status = decodeString(reader_, text);
        nulMissing_ = nulMissing_ || status == DecodeStatus::missingNul;
        allocationFailed_ = status == DecodeStatus::outOfMemory;
        return status != DecodeStatus::pastEnd;
    }

    [[nodiscard]] bool allocationFailed() const noexcept { return allocationFailed_; }

    [[nodiscard]] DecodeStatus outcome() const noexcept
    {
        if (allocationFailed_) {
            return DecodeStatus::outOfMemory;
        }
        return nulMissing_ ? DecodeStatus::missingNul : DecodeStatus::ok;
    }

private:
    ByteReader& reader_;
    bool allocationFailed_ = false;
    bool nulMissing_ = false;
};

// The threshold section's four numbers, after its two texts. All four or
// none: a section cut short leaves the record's numbers zero.
[[nodiscard]] bool readThresholdNumbers(ByteReader& reader, t_threshold_info& info) noexcept
{
    const std::uint8_t* numbers = reader.claim(kThresholdNumbersSize);
    if (numbers == nullptr) {
        return false;
    }
    info.thresholdLevel.low = std::bit_cast<float>(loadU32(numbers));
    info.thresholdLevel.high = std::bit_cast<float>(loadU32(numbers + 4));
    info.observedValue = std::bit_cast<float>(loadU32(numbers + 8));
    info.armTime = static_cast<std::int32_t>(loadU32(numbers + 12));
    return true;
}

[[nodiscard]] DecodeStatus decodeDynamicInfoInto(ByteReader& reader, const DynamicInfoTargets& targets) noexcept
{
    std::uint16_t thresholdLength = 0;
    if (!reader.getU16(thresholdLength)) {
        return DecodeStatus::pastEnd;
    }
    // The texts in wire order: with threshold information, the record's two
    // first, its numbers after them.
    std::array<char**, 2 + kTextCount> texts{};
    std::size_t first = 2;
    t_threshold_info* info = nullptr;
    // Any nonzero length announces threshold information: the length only
    // says whether the section is there, the texts in it say how long it is.
    if (thresholdLength != 0) {
        info = static_cast<t_threshold_info*>(std::malloc(sizeof(t_threshold_info)));
        *targets.thresholdInfo = info;
        if (info == nullptr) {
            // Without a record there is nowhere to read the section into.
            const NoCancellation deferred;
            MARL_LOG(LOG_CRIT, "Marl Swerr: %s: Failed Memory allocation of thresholdInfo, size %d", "oamMarlDecodeDynamicInfo", static_cast<int>(sizeof(t_threshold_info)));
            return DecodeStatus::outOfMemory;
        }
        // Defined from the start, so that the caller can release the record
        // whatever step fails.
        *info = t_threshold_info{};
        texts[0] = &info->attributeId;
        texts[1] = &info->thresholdLevel.indication;
        first = 0;
    } else {
        *targets.thresholdInfo = nullptr;
    }
    std::copy(targets.texts.begin(), targets.texts.end(), texts.begin() + 2);
    TextSteps steps(reader);
    for (std::size_t i = first; i < texts.size(); ++i) {
        // After its texts, the section's numbers, unless a text step failed
        // to allocate: there is then no position to read them from.
        if (i == 2 && info != nullptr && !steps.allocationFailed() && !readThresholdNumbers(reader, *info)) {
            return DecodeStatus::pastEnd;
        }
        if (!steps.read(*texts[i])) {
            return DecodeStatus::pastEnd;
        }
    }
    return steps.outcome();
}

} // namespace

bool encodeString(ByteWriter& writer, const char* text, std::uint16_t maxLength) noexcept
{
    // strnlen: a text far longer than its maximum is not scanned to its end.
    const auto length = static_cast<std::uint16_t>(text != nullptr ? strnlen(text, maxLength) : 0);
    // The reader takes the length 0 as "no text" and reads no NUL after it,
    // so a text that is empty, or cut to nothing, goes out as an absent one.
    std::uint8_t* at = writer.claim(countedStringSize(length));
    if (at == nullptr) {
        return false;
    }
    storeU16(at, length);
    if (length != 0) {
        std::memcpy(at + kLengthSize, text, length);
        at[kLengthSize + length] = 0;
    }
    return true;
}

bool carriesRuntimeInfo(const DynamicInfoView& info) noexcept
{
    bool any = info.thresholdInfo != nullptr;
    for (const char* text : info.texts) {
        any = any || text != nullptr;
    }
    return any;
}

std::size_t countedBlockSize(const DynamicInfoView& info) noexcept
{
    std::size_t size = kLengthSize; // thresholdLength
    if (info.thresholdInfo != nullptr) {
        size = addSaturating(size, countedTextSize(info.thresholdInfo->attributeId));
        size = addSaturating(size, countedTextSize(info.thresholdInfo->thresholdLevel.indication));
        size = addSaturating(size, kThresholdNumbersSize);
    }
    for (const char* text : info.texts) {
        size = addSaturating(size, countedTextSize(text));
    }
    return size;
}

bool encodeDynamicInfo(ByteWriter& writer, const DynamicInfoView& info) noexcept
{
    const t_threshold_info* threshold = info.thresholdInfo;
    if (!writer.putU16(threshold != nullptr ? MARL_THRESHOLD_INFO_LENGTH : 0)) {
        return false;
    }
    if (threshold != nullptr) {
        if (!(encodeString(writer, threshold->attributeId, MARL_MAX_ATTRIBUTE_ID_LENGTH) &&
              encodeString(writer, threshold->thresholdLevel.indication, MARL_MAX_INDICATION_LENGTH))) {
            return false;
        }
        std::uint8_t* numbers = writer.claim(kThresholdNumbersSize);
        if (numbers == nullptr) {
            return false;
        }
        storeU32(numbers, std::bit_cast<std::uint32_t>(threshold->thresholdLevel.low));
        storeU32(numbers + 4, std::bit_cast<std::uint32_t>(threshold->thresholdLevel.high));
        storeU32(numbers + 8, std::bit_cast<std::uint32_t>(threshold->observedValue));
        // armTime travels as a signed 32-bit count: a 64-bit time_t keeps
        // only its low 32 bits.
        storeU32(numbers + 12, static_cast<std::uint32_t>(threshold->armTime));
    }
    for (std::size_t i = 0; i < kTextCount; ++i) {
        if (!encodeString(writer, info.texts[i], kTextFields[i].maxLength)) {
            return false;
        }
    }
    return true;
}

DecodeStatus decodeString(ByteReader& reader, char*& text) noexcept
{
    std::uint16_t length = 0;
    if (!reader.getU16(length)) {
        return DecodeStatus::pastEnd;
    }
    if (length == 0) {
        text = nullptr;
        return DecodeStatus::ok;
    }
    // Checked before allocating, so that a short input costs no allocation.
    const std::size_t withNul = std::size_t{length} + 1;
    if (reader.left() < withNul) {
        return DecodeStatus::pastEnd;
    }
    auto* copy = static_cast<char*>(std::malloc(withNul));
    text = copy;
    if (copy == nullptr) {
        const NoCancellation deferred;
        MARL_LOG(LOG_CRIT, "Marl Swerr: %s: Failed Memory allocation of marlString, size %d", "oamMarlDecodeString", static_cast<int>(withNul));
        return DecodeStatus::outOfMemory;
    }
    // Cannot be null: the room was checked above.
    const std::uint8_t* at = reader.claim(withNul);
    std::memcpy(copy, at, length);
    // Our own NUL, whatever the wire holds: a produced text always ends.
    copy[length] = '\0';
    return at[length] == 0 ? DecodeStatus::ok : DecodeStatus::missingNul;
}

DecodeStatus decodeDynamicInfo(ByteReader& reader, DynamicInfo& info) noexcept
{
    info = DynamicInfo{};
    DynamicInfoTargets targets{&info.thresholdInfo, {}};
    for (std::size_t i = 0; i < kTextCount; ++i) {
        targets.texts[i] = &info.texts[i];
    }
    return decodeDynamicInfoInto(reader, targets);
}

void releaseThresholdInfo(t_threshold_info* thresholdInfo) noexcept
{
    if (thresholdInfo != nullptr) {
        std::free(thresholdInfo->attributeId);
        std::free(thresholdInfo->thresholdLevel.indication);
        std::free(thresholdInfo);
    }
}

void releaseDynamicInfo(DynamicInfo& info) noexcept
{
    releaseThresholdInfo(info.thresholdInfo);
    for (char* text : info.texts) {
        std::free(text);
    }
    info = DynamicInfo{};
}

} // namespace marl

namespace {

// The exported functions know no size: they read and write through streams
// with unlimited room, which never compute an end pointer.
constexpr std::size_t kUnbounded = SIZE_MAX;

} // namespace

extern "C" uint8_t* oamMarlEncodeString(uint8_t* buffer, const char* marlString, uint16_t maxLength)
{
    if (buffer == nullptr) {
        marl::logSwerrInvalidInput("oamMarlEncodeString");
        return nullptr;
    }
    marl::ByteWriter writer(buffer, kUnbounded);
    return marl::encodeString(writer, marlString, maxLength) ? writer.position() : nullptr;
}

namespace {

// What an exported reader returns: the position after what it read, or null
// when the read failed. These readers trust their input, so a text not
// followed by its NUL is no failure for them.
uint8_t* positionAfter(marl::DecodeStatus status, const marl::ByteReader& reader)
{
    const bool read = status == marl::DecodeStatus::ok || status == marl::DecodeStatus::missingNul;
    return read ? const_cast<uint8_t*>(reader.position()) : nullptr;
}

} // namespace

extern "C" uint8_t* oamMarlDecodeString(const uint8_t* input, char** marlString)
{
    if (input == nullptr || marlString == nullptr) {
        marl::logSwerrInvalidInput("oamMarlDecodeString");
        return nullptr;
    }
    marl::ByteReader reader(input, kUnbounded);
    // The byte after a text is not checked: this reader trusts its input.
    return positionAfter(marl::decodeString(reader, *marlString), reader);
}

extern "C" uint8_t* oamMarlEncodeDynamicInfo(uint8_t* buffer, const t_threshold_info* thresholdInfo,
                                             const char* monitoredAttributes, const char* serviceUser,
                                             const char* serviceProvider, const char* securityAlarmDetector,
                                             const char* additionalText1, const char* additionalText2)
{
    if (buffer == nullptr) {
        marl::logBlockInvalidInput("oamMarlEncodeDynamicInfo");
        return nullptr;
    }
    marl::ByteWriter writer(buffer, kUnbounded);
    const marl::DynamicInfoView info{thresholdInfo,
                                     {monitoredAttributes, serviceUser, serviceProvider, securityAlarmDetector,
                                      additionalText1, additionalText2}};
    return marl::encodeDynamicInfo(writer, info) ? writer.position() : nullptr;
}

extern "C" uint8_t* oamMarlDecodeDynamicInfo(uint8_t* input, t_threshold_info** thresholdInfo,
                                             char** monitoredAttributes, char** serviceUser, char** serviceProvider,
                                             char** securityAlarmDetector, char** additionalText1,
                                             char** additionalText2)
{
    if (input == nullptr || thresholdInfo == nullptr || monitoredAttributes == nullptr || serviceUser == nullptr ||
        serviceProvider == nullptr || securityAlarmDetector == nullptr || additionalText1 == nullptr ||
        additionalText2 == nullptr) {
        marl::logBlockInvalidInput("oamMarlDecodeDynamicInfo");
        return nullptr;
    }
    marl::ByteReader reader(input, kUnbounded);
    const marl::DynamicInfoTargets targets{thresholdInfo,
                                           {monitoredAttributes, serviceUser, serviceProvider,
                                            securityAlarmDetector, additionalText1, additionalText2}};
    // As in oamMarlDecodeString, the byte after each text is not checked.
    return positionAfter(marl::decodeDynamicInfoInto(reader, targets), reader);
}
