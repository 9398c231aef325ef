// The runtime-information writers and readers together: threshold
// information and texts taken from the input are written, read back and
// compared.
//
// Each text travels cut to its maximum (80, 4, 128, then 32 for the other
// five) and a text that is empty, or cut to nothing, travels as an absent one
// and reads back as null. The block is written into a buffer of exactly its
// size, so that AddressSanitizer sees any byte written past it, and a buffer
// one byte shorter must be refused. The exported writer must write the same
// bytes. A single counted string with a maximum taken from the input goes the
// same way.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include "byteStream.h"
#include "fuzz_target.h"
#include "marlEncDec.h"
#include "marlEncDecCore.h"

namespace {

// Takes values off the front of the input; past its end, zeros and empty
// texts.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), left_(size) {}

    std::uint8_t byte()
    {
        if (left_ == 0) {
            return 0;
        }
        --left_;
        return *data_++;
    }

    std::uint64_t number(int bytes)
    {
        std::uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) {
            value = value << 8 | byte();
        }
        return value;
    }

    // A length byte, then that many bytes of text, NULs and all.
    std::string text()
    {
        const std::size_t length = std::min<std::size_t>(byte(), left_);
        std::string text(reinterpret_cast<const char*>(data_), length);
        data_ += length;
        left_ -= length;
        return text;
    }

private:
    const std::uint8_t* data_;
    std::size_t left_;
};

// What a reader gives back for `text` written with `maxLength`: the text up
// to its first NUL, cut, and nothing for an empty one.
std::optional<std::string> readBack(const char* text, std::size_t maxLength)
{
    if (text == nullptr || strnlen(text, maxLength) == 0) {
        return std::nullopt;
    }
    return std::string(text, strnlen(text, maxLength));
}

std::size_t countedSize(const std::optional<std::string>& text)
{
    return text ? text->size() + 3 : 2;
}

void checkText(const char* got, const std::optional<std::string>& want)
{
    FUZZ_CHECK((got != nullptr) == want.has_value());
    FUZZ_CHECK(got == nullptr || *want == got);
}

// An exactly sized heap buffer: ASan reports a write one byte past it.
std::unique_ptr<std::uint8_t[]> exactBuffer(std::size_t size)
{
    return std::make_unique<std::uint8_t[]>(size);
}

void roundTripCountedString(Input& input)
{
    const auto maxLength = static_cast<std::uint16_t>(input.number(2));
    const std::string text = input.text();
    const std::optional<std::string> want = readBack(text.c_str(), maxLength);
    const std::size_t size = countedSize(want);
    const auto wire = exactBuffer(size);
    marl::ByteWriter writer(wire.get(), size);
    FUZZ_CHECK(marl::encodeString(writer, text.c_str(), maxLength));
    FUZZ_CHECK(writer.room() == 0);
    marl::ByteReader reader(wire.get(), size);
    char* got = nullptr;
    FUZZ_CHECK(marl::decodeString(reader, got) == marl::DecodeStatus::ok);
    FUZZ_CHECK(reader.left() == 0);
    checkText(got, want);
    std::free(got);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Input input(data, size);
    // Which items are present: bit 0 the threshold information, bits 1 to 6
    // the six texts, bit 7 attributeId; in the second byte, bit 0 indication.
    const std::uint8_t present = input.byte();
    const bool indicationPresent = (input.byte() & 1) != 0;
    const bool withThreshold = (present & 1) != 0;
    const auto low = static_cast<std::uint32_t>(input.number(4));
    const auto high = static_cast<std::uint32_t>(input.number(4));
    const auto observed = static_cast<std::uint32_t>(input.number(4));
    // As many bits as a time_t has at most; the wire keeps the low 32.
    const auto armTime = static_cast<std::time_t>(static_cast<std::int64_t>(input.number(8)));
    std::array<std::string, 8> texts; // attributeId, indication, then the six texts
    std::array<bool, 8> given{(present & 0x80) != 0, indicationPresent};
    for (std::size_t i = 0; i < texts.size(); ++i) {
        given[i] = given[i] || (i >= 2 && (present >> (i - 1) & 1) != 0);
        texts[i] = given[i] ? input.text() : std::string();
    }
    const auto text = [&](std::size_t i) { return given[i] ? texts[i].c_str() : nullptr; };
    t_threshold_info record{const_cast<char*>(text(0)),
                            {const_cast<char*>(text(1)), std::bit_cast<float>(low), std::bit_cast<float>(high)},
                            std::bit_cast<float>(observed),
                            armTime};
    const marl::DynamicInfoView view{withThreshold ? &record : nullptr, text(2), text(3), text(4), text(5), text(6),
                                     text(7)};

    constexpr std::array<std::size_t, 8> maxima{MARL_MAX_ATTRIBUTE_ID_LENGTH, MARL_MAX_INDICATION_LENGTH,
                                                MARL_MAX_MONITORED_ATTRIBUTES_LENGTH, MARL_MAX_DESCRIPTIVE_TEXT_LENGTH,
                                                MARL_MAX_DESCRIPTIVE_TEXT_LENGTH, MARL_MAX_DESCRIPTIVE_TEXT_LENGTH,
                                                MARL_MAX_DESCRIPTIVE_TEXT_LENGTH, MARL_MAX_DESCRIPTIVE_TEXT_LENGTH};
    std::array<std::optional<std::string>, 8> want;
    std::size_t blockSize = withThreshold ? 2 + 16 : 2;
    for (std::size_t i = withThreshold ? 0 : 2; i < want.size(); ++i) {
        want[i] = readBack(text(i), maxima[i]);
        blockSize += countedSize(want[i]);
    }
    FUZZ_CHECK(blockSize <= MARL_DYNAMIC_INFO_MAX_SIZE);

    const auto tooShort = exactBuffer(blockSize - 1);
    marl::ByteWriter shortWriter(tooShort.get(), blockSize - 1);
    FUZZ_CHECK(!marl::encodeDynamicInfo(shortWriter, view));

    const auto wire = exactBuffer(blockSize);
    marl::ByteWriter writer(wire.get(), blockSize);
    FUZZ_CHECK(marl::encodeDynamicInfo(writer, view));
    FUZZ_CHECK(writer.room() == 0);
    std::array<std::uint8_t, MARL_DYNAMIC_INFO_MAX_SIZE> exported{};
    FUZZ_CHECK(oamMarlEncodeDynamicInfo(exported.data(), view.thresholdInfo, text(2), text(3), text(4), text(5),
                                        text(6), text(7)) == exported.data() + blockSize);
    FUZZ_CHECK(std::memcmp(exported.data(), wire.get(), blockSize) == 0);

    marl::ByteReader reader(wire.get(), blockSize);
    marl::DynamicInfo info;
    FUZZ_CHECK(marl::decodeDynamicInfo(reader, info) == marl::DecodeStatus::ok);
    FUZZ_CHECK(reader.left() == 0);
    FUZZ_CHECK((info.thresholdInfo != nullptr) == withThreshold);
    if (withThreshold) {
        const t_threshold_info& got = *info.thresholdInfo;
        checkText(got.attributeId, want[0]);
        checkText(got.thresholdLevel.indication, want[1]);
        FUZZ_CHECK(std::bit_cast<std::uint32_t>(got.thresholdLevel.low) == low);
        FUZZ_CHECK(std::bit_cast<std::uint32_t>(got.thresholdLevel.high) == high);
        FUZZ_CHECK(std::bit_cast<std::uint32_t>(got.observedValue) == observed);
        FUZZ_CHECK(got.armTime == static_cast<std::int32_t>(armTime));
    }
    const std::array<const char*, 6> gotTexts{info.monitoredAttributes, info.serviceUser,     info.serviceProvider,
                                              info.securityAlarmDetector, info.additionalText1, info.additionalText2};
    for (std::size_t i = 0; i < gotTexts.size(); ++i) {
        checkText(gotTexts[i], want[i + 2]);
    }
    marl::releaseDynamicInfo(info);

    roundTripCountedString(input);
    return 0;
}

std::vector<FuzzInput> marlFuzzSeeds()
{
    // Presence bytes, the three floats' bits and the 64-bit arm time, the
    // texts present, each as a length byte and its bytes, then the counted
    // string's maximum and text.
    const auto seed = [](std::uint8_t present, std::uint8_t indication, const std::vector<std::string>& texts,
                         std::uint16_t countedMax, const std::string& counted) {
        // 1.0, a signalling NaN, a negative quiet NaN; 2^32 + 2^31, whose low
        // 32 bits are INT32_MIN.
        FuzzInput bytes{present, indication, 0x3f, 0x80, 0, 0, 0x7f, 0x80, 0, 1, 0xff, 0xc0, 0, 0,
                        0,       0,          0,    1,    0x80, 0, 0, 0};
        for (const std::string& text : texts) {
            bytes.push_back(static_cast<std::uint8_t>(text.size()));
            bytes.insert(bytes.end(), text.begin(), text.end());
        }
        bytes.push_back(static_cast<std::uint8_t>(countedMax >> 8));
        bytes.push_back(static_cast<std::uint8_t>(countedMax));
        bytes.push_back(static_cast<std::uint8_t>(counted.size()));
        bytes.insert(bytes.end(), counted.begin(), counted.end());
        return bytes;
    };
    const std::string long200(200, 'x');
    return {
        seed(0, 0, {}, 32, ""),
        seed(0x02, 0, {"x"}, 32, "abc"),
        seed(0x81, 1, {"a", "b"}, 4, "abcdef"),
        seed(0xff, 1, {"", "", "", "", "", "", "", ""}, 0, "abc"),
        seed(0xff, 1, {long200, "abcdef", long200, long200, long200, long200, long200, long200}, 65535, long200),
        seed(0x7e, 0, {std::string("a\0b", 3), "m", "u", "p", "d", std::string(1, '\0')}, 2,
             std::string("\0z", 2)),
    };
}
