// The runtime-information writers and readers together. What the reader
// makes of the front of the input, whatever its status, is written, read
// back and compared with what a reader must give back of it (each text cut
// to its maximum, an empty one absent); the input's size becomes armTime's
// high half, which the wire drops. A counted string goes the same way, with
// its maximum and text from what is left of the input.
//
// Each is written into a buffer of exactly its size, so that AddressSanitizer
// sees any byte written past it, and a buffer one byte shorter is refused;
// the exported writer writes the same block.
#include <algorithm>
#include <cstring>

#include "fuzz_target.h"

// What `encode` writes, which takes exactly that room.
template <typename Encode>
static FuzzInput written(std::size_t bound, Encode encode)
{
    FuzzInput generous(bound);
    marl::ByteWriter measure(generous.data(), generous.size());
    FUZZ_CHECK(encode(measure));
    generous.resize(generous.size() - measure.room());
    for (const std::size_t room : {generous.size() - 1, generous.size()}) {
        FuzzInput wire(room);
        marl::ByteWriter writer(wire.data(), room);
        FUZZ_CHECK(encode(writer) == (room == generous.size()) && (room < generous.size() || wire == generous));
    }
    return generous;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    marl::ByteReader input(data, size);
    marl::DynamicInfo info;
    FUZZ_CHECK(marl::decodeDynamicInfo(input, info) != marl::DecodeStatus::outOfMemory);
    if (info.thresholdInfo != nullptr) {
        info.thresholdInfo->armTime += static_cast<std::time_t>(static_cast<std::int64_t>(size) << 32);
    }
    const marl::DynamicInfoView view = marltest::viewOf(info);
    const std::string expected = marltest::describe(view, true);
    const auto encodeBlock = [&](marl::ByteWriter& w) { return marl::encodeDynamicInfo(w, view); };
    const FuzzInput block = written(MARL_DYNAMIC_INFO_MAX_SIZE, encodeBlock);
    FuzzInput exported(MARL_DYNAMIC_INFO_MAX_SIZE);
    const auto& t = view.texts;
    const std::uint8_t* end =
        oamMarlEncodeDynamicInfo(exported.data(), view.thresholdInfo, t[0], t[1], t[2], t[3], t[4], t[5]);
    FUZZ_CHECK(end == exported.data() + block.size() && std::equal(block.begin(), block.end(), exported.data()));
    marl::releaseDynamicInfo(info);
    marl::ByteReader reader(block.data(), block.size());
    FUZZ_CHECK(marl::decodeDynamicInfo(reader, info) == marl::DecodeStatus::ok && reader.left() == 0);
    FUZZ_CHECK(marltest::describe(marltest::viewOf(info)) == expected);
    marl::releaseDynamicInfo(info);

    std::uint16_t max = 0;
    (void)input.getU16(max);
    const std::string text(reinterpret_cast<const char*>(input.position()), input.left()); // NULs and all
    const auto encodeText = [&](marl::ByteWriter& w) { return marl::encodeString(w, text.c_str(), max); };
    const FuzzInput string = written(text.size() + 3, encodeText);
    marl::ByteReader stringReader(string.data(), string.size());
    char* got = nullptr;
    FUZZ_CHECK(marl::decodeString(stringReader, got) == marl::DecodeStatus::ok && stringReader.left() == 0);
    const std::string back = text.substr(0, std::min<std::size_t>(std::strlen(text.c_str()), max));
    FUZZ_CHECK(back.empty() ? got == nullptr : got != nullptr && back == got);
    std::free(got);
    return 0;
}

std::vector<FuzzInput> marlFuzzSeeds() { return marlBlockSeeds(); }
