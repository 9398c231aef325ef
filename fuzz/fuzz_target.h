// What each fuzz target provides: LLVMFuzzerTestOneInput, which checks one
// input and aborts on any fault it finds, and marlFuzzSeeds, the inputs a
// run starts from, built with the project's own writers. Linked with
// libFuzzer (MARL_FUZZ=ON, clang) a target is fuzzed; linked with
// replay_main.cpp, in every build, it writes its seeds and replays saved
// inputs, so that a crash libFuzzer saved reruns under any compiler.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "test_support.h"

using FuzzInput = std::vector<std::uint8_t>;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
std::vector<FuzzInput> marlFuzzSeeds();

// An abort, not an exception: libFuzzer saves the input, and the replay fails its test.
#define FUZZ_CHECK(c) \
    ((c) ? void() : (std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #c), std::abort()))

// The seeds of both block targets: blocks as the readers take them, each text
// as its length, its bytes and a NUL, then (for round_trip) a counted
// string's maximum and text. Threshold "a", "b", 1.0, a signalling NaN, a
// negative quiet NaN and the least armTime; no threshold texts; texts of 200
// bytes, over every maximum; then six one-letter texts after a threshold, cut
// by a byte, with thresholdLength 5, and with a 'z' for the NUL after "a".
inline std::vector<FuzzInput> marlBlockSeeds()
{
    using marltest::hexBytes;
    const std::string none = "0000 0000 0000 0000 0000 0000", l = "00c8" + std::string(400, '7') + "00";
    const std::string ab = "0016 0001 6100 0001 6200";
    const std::string six = "00016d00 00017500 00017000 00016400 00013100 00013200";
    const std::string full = ab + "3f800000 40000000 3f000000 00000010" + six;
    return {hexBytes("0000" + none + "0020"), hexBytes("0000 0001 7800 0000 0000 0000 0000 0000 0020 616263"),
            hexBytes(ab + "3f800000 7f800001 ffc00000 80000000" + none + "0004 616263646566"),
            hexBytes("0016 0000 0000 00000000 00000000 00000000 00000000" + none + "0000 616263"),
            hexBytes("0000 0001 6100" + six + "0002 007a"), hexBytes("0000" + l + l + l + l + l + l + "0001 6162"),
            hexBytes("0016" + l + l + std::string(32, '0') + none + "ffff" + std::string(600, '6')),
            hexBytes(full), hexBytes(full.substr(0, full.size() - 2)), hexBytes("0005" + full.substr(4)),
            marltest::patched(hexBytes(full), 5, "7a")};
}
