// Bounded big-endian byte streams: the only way the library puts integers on
// the wire or takes them off it.
//
// Both streams check the room left before every access, so a short buffer
// yields a false result and never an overrun, and a failed access moves
// nothing and writes no output; the checks compare counts, not pointers, so
// they cannot wrap around. A record of fixed size checks its room once:
// claim() hands out that many bytes or none, and its fields are then stored
// or loaded straight at their offsets. Integers are assembled by shifting,
// most significant byte first, which gives the same bytes on every host (the
// compiler makes one load or store of each, byte-swapped where the host
// needs it). The helpers are always inlined: a call would cost more than the
// load or store it makes, and -Os would not inline them all by itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace marl {

[[gnu::always_inline]] inline void storeU16(std::uint8_t* at, std::uint16_t value) noexcept
{
    at[0] = static_cast<std::uint8_t>(value >> 8);
    at[1] = static_cast<std::uint8_t>(value);
}

[[gnu::always_inline]] inline void storeU32(std::uint8_t* at, std::uint32_t value) noexcept
{
    at[0] = static_cast<std::uint8_t>(value >> 24);
    at[1] = static_cast<std::uint8_t>(value >> 16);
    at[2] = static_cast<std::uint8_t>(value >> 8);
    at[3] = static_cast<std::uint8_t>(value);
}

[[nodiscard, gnu::always_inline]] inline std::uint16_t loadU16(const std::uint8_t* at) noexcept
{
    return static_cast<std::uint16_t>(at[0] << 8 | at[1]);
}

[[nodiscard, gnu::always_inline]] inline std::uint32_t loadU32(const std::uint8_t* at) noexcept
{
    return std::uint32_t{at[0]} << 24 | std::uint32_t{at[1]} << 16 | std::uint32_t{at[2]} << 8 | at[3];
}

class ByteWriter {
public:
    ByteWriter(std::uint8_t* dst, std::size_t dstCapacity) noexcept
        : pos_(dst), room_(dst != nullptr ? dstCapacity : 0) {}

    // The next `count` bytes, for the caller to fill; null, with nothing
    // moved, when fewer are left.
    [[nodiscard, gnu::always_inline]] std::uint8_t* claim(std::size_t count) noexcept
    {
        if (count > room_) {
            return nullptr;
        }
        std::uint8_t* at = pos_;
        pos_ += count;
        room_ -= count;
        return at;
    }

    [[nodiscard, gnu::always_inline]] bool putU8(std::uint8_t value) noexcept
    {
        std::uint8_t* at = claim(1);
        if (at != nullptr) {
            *at = value;
        }
        return at != nullptr;
    }
    [[nodiscard, gnu::always_inline]] bool putU16(std::uint16_t value) noexcept
    {
        std::uint8_t* at = claim(2);
        if (at != nullptr) {
            storeU16(at, value);
        }
        return at != nullptr;
    }
    [[nodiscard, gnu::always_inline]] bool putU32(std::uint32_t value) noexcept
    {
        std::uint8_t* at = claim(4);
        if (at != nullptr) {
            storeU32(at, value);
        }
        return at != nullptr;
    }
    [[nodiscard]] bool putI32(std::int32_t value) noexcept { return putU32(static_cast<std::uint32_t>(value)); }

    [[nodiscard]] bool putBytes(const void* src, std::size_t count) noexcept
    {
        std::uint8_t* at = claim(count);
        if (at != nullptr && count != 0) {
            std::memcpy(at, src, count);
        }
        return at != nullptr;
    }

    [[nodiscard]] bool putZeros(std::size_t count) noexcept
    {
        std::uint8_t* at = claim(count);
        if (at != nullptr) {
            std::memset(at, 0, count);
        }
        return at != nullptr;
    }

    // Where the next byte goes: just past everything written so far.
    [[nodiscard]] std::uint8_t* position() const noexcept { return pos_; }
    [[nodiscard]] std::size_t room() const noexcept { return room_; }

private:
    std::uint8_t* pos_;
    std::size_t room_;
};

class ByteReader {
public:
    ByteReader(const std::uint8_t* src, std::size_t srcSize) noexcept
        : pos_(src), left_(src != nullptr ? srcSize : 0) {}

    // The next `count` bytes, for the caller to read; null, with nothing
    // moved, when fewer are left.
    [[nodiscard, gnu::always_inline]] const std::uint8_t* claim(std::size_t count) noexcept
    {
        if (count > left_) {
            return nullptr;
        }
        const std::uint8_t* at = pos_;
        pos_ += count;
        left_ -= count;
        return at;
    }

    [[nodiscard, gnu::always_inline]] bool getU8(std::uint8_t& value) noexcept
    {
        const std::uint8_t* at = claim(1);
        if (at != nullptr) {
            value = *at;
        }
        return at != nullptr;
    }
    [[nodiscard, gnu::always_inline]] bool getU16(std::uint16_t& value) noexcept
    {
        const std::uint8_t* at = claim(2);
        if (at != nullptr) {
            value = loadU16(at);
        }
        return at != nullptr;
    }
    [[nodiscard, gnu::always_inline]] bool getU32(std::uint32_t& value) noexcept
    {
        const std::uint8_t* at = claim(4);
        if (at != nullptr) {
            value = loadU32(at);
        }
        return at != nullptr;
    }
    [[nodiscard]] bool getI32(std::int32_t& value) noexcept
    {
        std::uint32_t raw = 0;
        const bool read = getU32(raw);
        value = read ? static_cast<std::int32_t>(raw) : value;
        return read;
    }

    [[nodiscard]] bool getBytes(void* dst, std::size_t count) noexcept
    {
        const std::uint8_t* at = claim(count);
        if (at != nullptr && count != 0) {
            std::memcpy(dst, at, count);
        }
        return at != nullptr;
    }

    [[nodiscard]] bool skip(std::size_t count) noexcept { return claim(count) != nullptr; }

    [[nodiscard]] const std::uint8_t* position() const noexcept { return pos_; }
    [[nodiscard]] std::size_t left() const noexcept { return left_; }

private:
    const std::uint8_t* pos_;
    std::size_t left_;
};

} // namespace marl
