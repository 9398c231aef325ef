#include "pointNames.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "hostWord.h"

namespace marld {

namespace {

constexpr std::uint64_t kEachByte = 0x0101010101010101ULL;
constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// Whether any byte of `word` is below `limit` (at most 0x80): such a byte
// borrows into its own high bit, which ~word keeps only for bytes below
// 0x80. A borrow may carry on into higher bytes, so the result tells
// whether there is one, never which.
constexpr bool anyByteBelow(std::uint64_t word, std::uint8_t limit) noexcept
{
    return ((word - kEachByte * limit) & ~word & kHighBits) != 0;
}

// Whether any of the eight bytes is a control byte. Which byte is where
// does not matter, so the host's byte order does not either.
constexpr bool hasControlByte(std::uint64_t word) noexcept
{
    return anyByteBelow(word, 0x20) || anyByteBelow(word ^ (kEachByte * 0x7F), 1);
}

} // namespace

bool isWellFormedPointName(std::string_view name) noexcept
{
    if (name.empty() || name.size() > kMaxPointNameLength) {
        return false;
    }
    // Every update names a point, so this runs for every datagram: eight
    // bytes at a time, the last word overlapping the one before it.
    const std::size_t size = name.size();
    if (size >= sizeof(std::uint64_t)) {
        for (std::size_t at = 0; at + sizeof(std::uint64_t) < size; at += sizeof(std::uint64_t)) {
            if (hasControlByte(hostWordAt(name.data() + at))) {
                return false;
            }
        }
        return !hasControlByte(hostWordAt(name.data() + size - sizeof(std::uint64_t)));
    }
    return std::none_of(name.begin(), name.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

std::optional<PointNames> PointNames::fromList(std::istream& lines, std::string& error)
{
    PointNames names;
    names.listed_.emplace();
    std::string line;
    for (unsigned long number = 1; std::getline(lines, line); ++number) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line.front() == '#') {
            continue; // room for blank lines and comments
        }
        if (!isWellFormedPointName(line)) {
            error = "line " + std::to_string(number) + ": not a valid point name (1 to " +
                    std::to_string(kMaxPointNameLength) + " bytes, no control characters)";
            return std::nullopt;
        }
        names.listed_->insert(std::move(line));
    }
    if (lines.bad()) {
        error = std::string("cannot read it: ") + std::strerror(errno);
        return std::nullopt;
    }
    if (names.listed_->empty()) {
        error = "no point names in it: every point would be refused";
        return std::nullopt;
    }
    return names;
}

bool PointNames::isListed(std::string_view name) const
{
    return listed_->find(name) != listed_->end();
}

} // namespace marld
