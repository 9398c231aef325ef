// Bounded big-endian byte streams: the only way the library puts integers on
// the wire or takes them off it.
//
// Both streams check the room left before every access, so a short buffer
// yields a false result and never an overrun; the checks compare counts, not
// pointers, so they cannot wrap around. Integers are assembled by shifting,
// most significant byte first, which gives the same bytes on every host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace marl {

// The writer reads its position and room into locals before it stores any
// byte, and writes them back after: a byte store may alias any object, the
// writer itself included, so storing through pos_ would make the compiler
// reload pos_ and room_ after every byte and keep it from merging an
// integer's bytes into one store. The integer writes are always inlined, so
// that a writer kept in a local (the record writers of marlRecords.cpp do so)
// lives in registers.
class ByteWriter {
public:
    ByteWriter(std::uint8_t* dst, std::size_t dstCapacity) noexcept
        : pos_(dst), room_(dst != nullptr ? dstCapacity : 0) {}

    [[nodiscard, gnu::always_inline]] bool putU8(std::uint8_t value) noexcept
    {
        std::uint8_t* const at = pos_;
        const std::size_t room = room_;
        if (room < 1) {
            return false;
        }
        at[0] = value;
        moveTo(at + 1, room - 1);
        return true;
    }

    [[nodiscard, gnu::always_inline]] bool putU16(std::uint16_t value) noexcept
    {
        std::uint8_t* const at = pos_;
        const std::size_t room = room_;
        if (room < 2) {
            return false;
        }
        at[0] = static_cast<std::uint8_t>(value >> 8);
        at[1] = static_cast<std::uint8_t>(value);
        moveTo(at + 2, room - 2);
        return true;
    }

    [[nodiscard, gnu::always_inline]] bool putU32(std::uint32_t value) noexcept
    {
        std::uint8_t* const at = pos_;
        const std::size_t room = room_;
        if (room < 4) {
            return false;
        }
        at[0] = static_cast<std::uint8_t>(value >> 24);
        at[1] = static_cast<std::uint8_t>(value >> 16);
        at[2] = static_cast<std::uint8_t>(value >> 8);
        at[3] = static_cast<std::uint8_t>(value);
        moveTo(at + 4, room - 4);
        return true;
    }

    [[nodiscard, gnu::always_inline]] bool putI32(std::int32_t value) noexcept
    {
        return putU32(static_cast<std::uint32_t>(value));
    }

    [[nodiscard]] bool putBytes(const void* src, std::size_t count) noexcept
    {
        if (count > room_) {
            return false;
        }
        if (count != 0) {
            std::memcpy(pos_, src, count);
        }
        advance(count);
        return true;
    }

    // Where the next byte goes: just past everything written so far.
    [[nodiscard]] std::uint8_t* position() const noexcept { return pos_; }
    [[nodiscard]] std::size_t room() const noexcept { return room_; }

private:
    void advance(std::size_t count) noexcept
    {
        pos_ += count;
        room_ -= count;
    }

    void moveTo(std::uint8_t* pos, std::size_t room) noexcept
    {
        pos_ = pos;
        room_ = room;
    }

    std::uint8_t* pos_;
    std::size_t room_;
};

class ByteReader {
public:
    ByteReader(const std::uint8_t* src, std::size_t srcSize) noexcept
        : pos_(src), left_(src != nullptr ? srcSize : 0) {}

    [[nodiscard]] bool getU8(std::uint8_t& value) noexcept
    {
        if (left_ < 1) {
            return false;
        }
        value = *pos_;
        advance(1);
        return true;
    }

    [[nodiscard]] bool getU16(std::uint16_t& value) noexcept
    {
        if (left_ < 2) {
            return false;
        }
        value = static_cast<std::uint16_t>((pos_[0] << 8) | pos_[1]);
        advance(2);
        return true;
    }

    [[nodiscard]] bool getU32(std::uint32_t& value) noexcept
    {
        if (left_ < 4) {
            return false;
        }
        value = (static_cast<std::uint32_t>(pos_[0]) << 24) | (static_cast<std::uint32_t>(pos_[1]) << 16) |
                (static_cast<std::uint32_t>(pos_[2]) << 8) | static_cast<std::uint32_t>(pos_[3]);
        advance(4);
        return true;
    }

    [[nodiscard]] bool getI32(std::int32_t& value) noexcept
    {
        std::uint32_t raw = 0;
        if (!getU32(raw)) {
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
        advance(count);
        return true;
    }

    [[nodiscard]] bool skip(std::size_t count) noexcept
    {
        if (count > left_) {
            return false;
        }
        advance(count);
        return true;
    }

    [[nodiscard]] const std::uint8_t* position() const noexcept { return pos_; }
    [[nodiscard]] std::size_t left() const noexcept { return left_; }

private:
    void advance(std::size_t count) noexcept
    {
        pos_ += count;
        left_ -= count;
    }

    const std::uint8_t* pos_;
    std::size_t left_;
};

} // namespace marl
