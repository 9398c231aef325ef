// The bounded block reader, marl::decodeDynamicInfo, on arbitrary bytes that
// end where the input ends, as the point service reads a received datagram.
//
// Whatever the bytes, the reader stays inside them and ends every text it
// produces with a NUL inside the text's allocation (AddressSanitizer sees a
// read past either), and LeakSanitizer sees anything not released. When the
// block is complete, the exported reader, which knows no size, must stop at
// the same byte and give back the same. (round_trip writes what the reader
// made of such bytes and reads it back.)
#include "fuzz_target.h"

using marltest::describe, marltest::viewOf;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    marl::ByteReader reader(data, size);
    marl::DynamicInfo info;
    const marl::DecodeStatus status = marl::decodeDynamicInfo(reader, info);
    const std::string read = describe(viewOf(info));
    marl::releaseDynamicInfo(info);
    FUZZ_CHECK(status != marl::DecodeStatus::outOfMemory);
    // Past the end, the exported reader would trust the lengths and read on; libFuzzer aborts when a target
    // writes to its input.
    if (status != marl::DecodeStatus::pastEnd) {
        auto* input = const_cast<std::uint8_t*>(data);
        auto& t = info.texts;
        FUZZ_CHECK(oamMarlDecodeDynamicInfo(input, &info.thresholdInfo, &t[0], &t[1], &t[2], &t[3], &t[4], &t[5]) ==
                   reader.position());
        FUZZ_CHECK(describe(viewOf(info)) == read);
        marl::releaseDynamicInfo(info);
    }
    return 0;
}

std::vector<FuzzInput> marlFuzzSeeds() { return marlBlockSeeds(); }
