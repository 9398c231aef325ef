// Bounded big-endian byte streams: the only way the library puts integers on
// the wire or takes them off it.
//
// Both streams check the room left before every access, so a short buffer
// yields a false result and never an overrun, and a failed access moves
// nothing and writes no output; the checks compare counts, not pointers, so
// they cannot wrap around. Integers are assembled by shifting, most
// significant byte first, which gives the same bytes on every host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace marl {

class ByteWriter {
public:
    ByteWriter(std::uint8_t* dst, std::size_t dstCapacity) noexcept
        : pos_(dst), room_(dst != nullptr ? dstCapacity : 0) {}

    [[nodiscard]] bool putU8(std::uint8_t value) noexcept { return put(value); }
    [[nodiscard]] bool putU16(std::uint16_t value) noexcept { return put(value); }
    [[nodiscard]] bool putU32(std::uint32_t value) noexcept { return put(value); }
    [[nodiscard]] bool putI32(std::int32_t value) noexcept { return put(static_cast<std::uint32_t>(value)); }

    [[nodiscard]] bool putBytes(const void* src, std::size_t count) noexcept
    {
        if (count > room_) {
            return false;
        }
        if (count != 0) {
            std::memcpy(pos_, src, count);
        }
        pos_ += count;
        room_ -= count;
        return true;
    }

    [[nodiscard]] bool putZeros(std::size_t count) noexcept
    {
        if (count > room_) {
            return false;
        }
        std::memset(pos_, 0, count);
        pos_ += count;
        room_ -= count;
        return true;
    }

    // Where the next byte goes: just past everything written so far.
    [[nodiscard]] std::uint8_t* position() const noexcept { return pos_; }
    [[nodiscard]] std::size_t room() const noexcept { return room_; }

private:
    template <typename Unsigned>
    [[nodiscard]] bool put(Unsigned value) noexcept
    {
        if (room_ < sizeof value) {
            return false;
        }
        for (std::size_t shift = 8 * sizeof value; shift != 0;) {
            shift -= 8;
            *pos_++ = static_cast<std::uint8_t>(value >> shift);
        }
        room_ -= sizeof value;
        return true;
    }

    std::uint8_t* pos_;
    std::size_t room_;
};

class ByteReader {
public:
    ByteReader(const std::uint8_t* src, std::size_t srcSize) noexcept
        : pos_(src), left_(src != nullptr ? srcSize : 0) {}

    [[nodiscard]] bool getU8(std::uint8_t& value) noexcept { return get(value); }
    [[nodiscard]] bool getU16(std::uint16_t& value) noexcept { return get(value); }
    [[nodiscard]] bool getU32(std::uint32_t& value) noexcept { return get(value); }

    [[nodiscard]] bool getI32(std::int32_t& value) noexcept
    {
        std::uint32_t raw = 0;
        if (!get(raw)) {
            return false;
        }
        value = static_cast<std::int32_t>(raw);
        return true;
    }

    [[nodiscard]] bool getBytes(void* dst, std::size_t count) noexcept
    {
        if (count > left_) {
            return false;
        }
        if (count != 0) {
            std::memcpy(dst, pos_, count);
        }
        return skip(count);
    }

    [[nodiscard]] bool skip(std::size_t count) noexcept
    {
        if (count > left_) {
            return false;
        }
        pos_ += count;
        left_ -= count;
        return true;
    }

    [[nodiscard]] const std::uint8_t* position() const noexcept { return pos_; }
    [[nodiscard]] std::size_t left() const noexcept { return left_; }

private:
    template <typename Unsigned>
    [[nodiscard]] bool get(Unsigned& value) noexcept
    {
        if (left_ < sizeof value) {
            return false;
        }
        Unsigned assembled = 0;
        for (std::size_t i = 0; i < sizeof value; ++i) {
            assembled = static_cast<Unsigned>(assembled << 8 | pos_[i]);
        }
        value = assembled;
        return skip(sizeof value);
    }

    const std::uint8_t* pos_;
    std::size_t left_;
};

} // namespace marl
