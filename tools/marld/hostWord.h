// Eight bytes of a name read as one word in the host's byte order, for the
// word-at-a-time name check and hash. Neither leaves the process, so the
// order may differ between machines; the wire is read through the byte
// reader, never through this.
#pragma once

#include <cstdint>
#include <cstring>

namespace marld {

[[nodiscard]] inline std::uint64_t hostWordAt(const char* bytes) noexcept
{
    std::uint64_t word = 0;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

} // namespace marld
