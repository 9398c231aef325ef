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

namespace marl {

namespace {

static_assert(sizeof(float) == sizeof(std::uint32_t), "floats travel as their 32 IEEE-754 bits");

// One statement per message, so that each message has one source line, and
// the block reader's skipped steps log the very line of the string reader.
void logSwerrInvalidInput(const char* function) noexcept
{
    MARL_LOG(LOG_CRIT, "Marl Swerr: %s: Invalid input parameter", function);
}

void logBlockInvalidInput(const char* function) noexcept
{
    MARL_LOG(LOG_ERR, "%s: Invalid input parameter.", function);
}

[[nodiscard]] bool putFloat(ByteWriter& writer, float value) noexcept
{
    return writer.putU32(std::bit_cast<std::uint32_t>(value));
}

[[nodiscard]] bool getFloat(ByteReader& reader, float& value) noexcept
{
    std::uint32_t bits = 0;
    if (!reader.getU32(bits)) {
        return false;
    }
    value = std::bit_cast<float>(bits);
    return true;
}

// Adds without wrapping: a sum too large for size_t stays at SIZE_MAX.
[[nodiscard]] constexpr std::size_t addSaturating(std::size_t total, std::size_t more) noexcept
{
    return more > SIZE_MAX - total ? SIZE_MAX : total + more;
}

// The length bytes, and the text with its NUL when present, uncut.
[[nodiscard]] std::size_t countedTextSize(const char* text) noexcept
{
    return 2 + (text != nullptr ? std::strlen(text) + 1 : 0);
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
    [[nodiscard]] bool read(char*& text) noexcept
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

// The threshold section after its length: two texts, then four numbers.
[[nodiscard]] bool readThresholdInfo(ByteReader& reader, TextSteps& steps, t_threshold_info& info) noexcept
{
    if (!steps.read(info.attributeId) || !steps.read(info.thresholdLevel.indication)) {
        return false;
    }
    if (steps.allocationFailed()) {
        return true; // no position to read the numbers from; the block read fails anyway
    }
    // All four or none: a section cut short leaves the record's numbers zero.
    float low = 0;
    float high = 0;
    float observed = 0;
    std::int32_t armTime = 0;
    if (!(getFloat(reader, low) && getFloat(reader, high) && getFloat(reader, observed) && reader.getI32(armTime))) {
        return false;
    }
    info.thresholdLevel.low = low;
    info.thresholdLevel.high = high;
    info.observedValue = observed;
    info.armTime = armTime;
    return true;
}

[[nodiscard]] DecodeStatus decodeDynamicInfoInto(ByteReader& reader, const DynamicInfoTargets& targets) noexcept
{
    std::uint16_t thresholdLength = 0;
    if (!reader.getU16(thresholdLength)) {
        return DecodeStatus::pastEnd;
    }
    TextSteps steps(reader);
    // Any nonzero length announces threshold information: the length only
    // says whether the section is there, the texts in it say how long it is.
    if (thresholdLength == 0) {
        *targets.thresholdInfo = nullptr;
    } else {
        auto* info = static_cast<t_threshold_info*>(std::malloc(sizeof(t_threshold_info)));
        *targets.thresholdInfo = info;
        if (info == nullptr) {
            // Without a record there is nowhere to read the section into.
            MARL_LOG(LOG_CRIT, "Marl Swerr: %s: Failed Memory allocation of thresholdInfo, size %d", "oamMarlDecodeDynamicInfo", static_cast<int>(sizeof(t_threshold_info)));
            return DecodeStatus::outOfMemory;
        }
        // Defined from the start, so that the caller can release the record
        // whatever step fails.
        *info = t_threshold_info{};
        if (!readThresholdInfo(reader, steps, *info)) {
            return DecodeStatus::pastEnd;
        }
    }
    for (char** text : targets.texts) {
        if (!steps.read(*text)) {
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
    if (length == 0) {
        return writer.putU16(0);
    }
    return writer.putU16(length) && writer.putBytes(text, length) && writer.putU8(0);
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
    std::size_t size = 2; // thresholdLength
    if (info.thresholdInfo != nullptr) {
        size = addSaturating(size, countedTextSize(info.thresholdInfo->attributeId));
        size = addSaturating(size, countedTextSize(info.thresholdInfo->thresholdLevel.indication));
        size = addSaturating(size, 16); // low, high, observedValue, armTime
    }
    for (const char* text : info.texts) {
        size = addSaturating(size, countedTextSize(text));
    }
    return size;
}

bool encodeDynamicInfo(ByteWriter& writer, const DynamicInfoView& info) noexcept
{
    if (const t_threshold_info* threshold = info.thresholdInfo) {
        // armTime travels as a signed 32-bit count: a 64-bit time_t keeps
        // only its low 32 bits.
        if (!(writer.putU16(MARL_THRESHOLD_INFO_LENGTH) &&
              encodeString(writer, threshold->attributeId, MARL_MAX_ATTRIBUTE_ID_LENGTH) &&
              encodeString(writer, threshold->thresholdLevel.indication, MARL_MAX_INDICATION_LENGTH) &&
              putFloat(writer, threshold->thresholdLevel.low) && putFloat(writer, threshold->thresholdLevel.high) &&
              putFloat(writer, threshold->observedValue) &&
              writer.putI32(static_cast<std::int32_t>(threshold->armTime)))) {
            return false;
        }
    } else if (!writer.putU16(0)) {
        return false;
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
        MARL_LOG(LOG_CRIT, "Marl Swerr: %s: Failed Memory allocation of marlString, size %d", "oamMarlDecodeString", static_cast<int>(withNul));
        return DecodeStatus::outOfMemory;
    }
    std::uint8_t terminator = 0;
    // Cannot fail: the room was checked above.
    (void)(reader.getBytes(copy, length) && reader.getU8(terminator));
    // Our own NUL, whatever the wire holds: a produced text always ends.
    copy[length] = '\0';
    return terminator == 0 ? DecodeStatus::ok : DecodeStatus::missingNul;
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
