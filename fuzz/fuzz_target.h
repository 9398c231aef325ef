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

using FuzzInput = std::vector<std::uint8_t>;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
std::vector<FuzzInput> marlFuzzSeeds();

// An abort, not an exception: libFuzzer saves the input, and the replay fails its test.
#define FUZZ_CHECK(c) \
    ((c) ? void() : (std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #c), std::abort()))
