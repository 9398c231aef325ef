// What each fuzz target provides, and how it reports a fault.
//
// A target is one file holding LLVMFuzzerTestOneInput, which checks one input
// and aborts on any fault it finds, and marlFuzzSeeds, the few inputs that a
// fuzzing run starts from, built with the project's own writers. Linked with
// libFuzzer (MARL_FUZZ=ON, clang) the target is fuzzed; linked with
// replay_main.cpp, in every build, it writes its seeds and runs saved inputs,
// so that CTest replays the seed corpus and a crash that libFuzzer saved can
// be rerun under any compiler or emulator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

using FuzzInput = std::vector<std::uint8_t>;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

std::vector<FuzzInput> marlFuzzSeeds();

namespace marlfuzz {

[[noreturn]] inline void fail(const char* what, const char* file, int line)
{
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}

} // namespace marlfuzz

// An abort, not an exception or a return code: libFuzzer saves the input
// that caused it, and the replay fails the test.
#define FUZZ_CHECK(condition) ((condition) ? static_cast<void>(0) : marlfuzz::fail(#condition, __FILE__, __LINE__))
