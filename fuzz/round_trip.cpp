// The runtime-information writers and readers together: threshold
// information and texts taken from the input are written, read back and
// compared with what a reader must give back of them (each text cut to its
// maximum, an empty one absent).
//
// The block is written into a buffer of exactly its size, so that
// AddressSanitizer sees any byte written past it, and a buffer one byte
// shorter is refused; the exported writer writes the same bytes. A counted
// string with a maximum taken from the input goes the same way.
#include <bit>
#include <cstring>
#include <memory>

#include "fuzz_target.h"
#include "test_support.h"

namespace {

// Writes with `encode` into exactly the room it needs, which a byte less
// does not give, and reads the bytes back with `decode`, which must take
// them all.
template <typename Encode, typename Decode>
void roundTrip(Encode encode, Decode decode)
{
    FuzzInput generous(1 << 16);
    marl::ByteWriter measure(generous.data(), generous.size());
    FUZZ_CHECK(encode(measure));
    const std::size_t size = generous.size() - measure.room();
    for (const std::size_t room : {size - 1, size}) {
        const auto wire = std::make_unique<std::uint8_t[]>(room);
        marl::ByteWriter writer(wire.get(), room);
        FUZZ_CHECK(encode(writer) == (room == size));
        FUZZ_CHECK(room < size || std::memcmp(wire.get(), generous.data(), size) == 0);
    }
    marl::ByteReader reader(generous.data(), size);
    decode(reader, generous.data(), size);
    FUZZ_CHECK(reader.left() == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Values off the front of the input; past its end, zeros and empty texts.
    std::size_t at = 0;
    const auto number = [&](int bytes) {
        std::uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) {
            value = value << 8 | (at < size ? data[at++] : 0u);
        }
        return value;
    };
    // A length byte, then that many bytes of text, NULs and all.
    const auto text = [&] {
        const std::size_t length = std::min<std::size_t>(number(1), size - at);
        at += length;
        return std::string(reinterpret_cast<const char*>(data) + at - length, length);
    };
    // Which items are present: bits 0 to 7 attributeId, indication, the six
    // texts; bit 8 the threshold information.
    const auto present = static_cast<unsigned>(number(2));
    const auto low = static_cast<std::uint32_t>(number(4));
    const auto high = static_cast<std::uint32_t>(number(4));
    const auto observed = static_cast<std::uint32_t>(number(4));
    const auto armTime = static_cast<std::time_t>(static_cast<std::int64_t>(number(8))); // the wire keeps the low 32 bits
    std::array<std::string, 8> texts;
    std::array<const char*, 8> given{};
    for (std::size_t i = 0; i < texts.size(); ++i) {
        texts[i] = (present >> i & 1) != 0 ? text() : "";
        given[i] = (present >> i & 1) != 0 ? texts[i].c_str() : nullptr;
    }
    const t_threshold_info record{const_cast<char*>(given[0]),
                                  {const_cast<char*>(given[1]), std::bit_cast<float>(low), std::bit_cast<float>(high)},
                                  std::bit_cast<float>(observed), armTime};
    const marl::DynamicInfoView view{(present & 0x100) != 0 ? &record : nullptr, {given[2], given[3], given[4], given[5], given[6], given[7]}};
    roundTrip([&](marl::ByteWriter& writer) { return marl::encodeDynamicInfo(writer, view); },
              [&](marl::ByteReader& reader, const std::uint8_t* wire, std::size_t blockSize) {
                  FuzzInput exported(MARL_DYNAMIC_INFO_MAX_SIZE);
                  FUZZ_CHECK(oamMarlEncodeDynamicInfo(exported.data(), view.thresholdInfo, given[2], given[3], given[4], given[5],
                                                      given[6], given[7]) == exported.data() + blockSize);
                  FUZZ_CHECK(std::memcmp(exported.data(), wire, blockSize) == 0);
                  marl::DynamicInfo info;
                  FUZZ_CHECK(marl::decodeDynamicInfo(reader, info) == marl::DecodeStatus::ok);
                  FUZZ_CHECK(marltest::describe(marltest::viewOf(info)) == marltest::describe(view, true));
                  marl::releaseDynamicInfo(info);
              });
    const auto maxLength = static_cast<std::uint16_t>(number(2));
    const std::string counted = text();
    roundTrip([&](marl::ByteWriter& writer) { return marl::encodeString(writer, counted.c_str(), maxLength); },
              [&](marl::ByteReader& reader, const std::uint8_t*, std::size_t) {
                  char* got = nullptr;
                  FUZZ_CHECK(marl::decodeString(reader, got) == marl::DecodeStatus::ok);
                  const std::string back = counted.substr(0, std::min<std::size_t>(std::strlen(counted.c_str()), maxLength));
                  FUZZ_CHECK(back.empty() ? got == nullptr : got != nullptr && back == got);
                  std::free(got);
              });
    return 0;
}

std::vector<FuzzInput> marlFuzzSeeds()
{
    // Presence; 1.0, a signalling NaN, a negative quiet NaN; 2^32 + 2^31,
    // whose low 32 bits are INT32_MIN; the texts, each as a length byte and
    // its bytes; the counted string's maximum and text.
    const auto seed = [](std::uint16_t present, const std::vector<std::string>& texts, std::uint16_t countedMax, const std::string& counted) {
        FuzzInput bytes{static_cast<std::uint8_t>(present >> 8), static_cast<std::uint8_t>(present), 0x3f, 0x80, 0, 0, 0x7f, 0x80, 0, 1,
                        0xff, 0xc0, 0, 0, 0, 0, 0, 1, 0x80, 0, 0, 0};
        for (const std::string& text : texts) {
            bytes.push_back(static_cast<std::uint8_t>(text.size()));
            bytes.insert(bytes.end(), text.begin(), text.end());
        }
        bytes.insert(bytes.end(), {static_cast<std::uint8_t>(countedMax >> 8), static_cast<std::uint8_t>(countedMax),
                                   static_cast<std::uint8_t>(counted.size())});
        bytes.insert(bytes.end(), counted.begin(), counted.end());
        return bytes;
    };
    const std::string l(200, 'x');
    return {seed(0, {}, 32, ""), seed(0x04, {"x"}, 32, "abc"), seed(0x103, {"a", "b"}, 4, "abcdef"),
            seed(0x1ff, {"", "", "", "", "", "", "", ""}, 0, "abc"), seed(0x1ff, {l, "abcdef", l, l, l, l, l, l}, 65535, l),
            seed(0xfc, {std::string("a\0b", 3), "m", "u", "p", "d", std::string(1, '\0')}, 2, std::string("\0z", 2))};
}
