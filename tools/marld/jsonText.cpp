#include "jsonText.h"

#include <cstddef>

namespace marld {

namespace {

// Length of the well-formed UTF-8 sequence that starts at `at`: 1 for ASCII,
// 2 to 4, or 0 when there is none (overlong forms, surrogates and code
// points beyond U+10FFFF are not well-formed).
std::size_t sequenceLength(std::string_view bytes, std::size_t at)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[at + i]); };
    const unsigned char lead = byte(0);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
    const unsigned char secondLow = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const unsigned char secondHigh = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    if (length < 2) {
        return length;
    }
    if (bytes.size() - at < length || byte(1) < secondLow || byte(1) > secondHigh) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) {
            return 0;
        }
    }
    return length;
}

std::string hexByte(unsigned char byte)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    return {kDigits[byte >> 4], kDigits[byte & 0x0F]};
}

// The bytes in double quotes, quote and backslash escaped, well-formed
// sequences as they are, and every other byte as `escape` makes it.
template <typename Escape>
std::string quoted(std::string_view bytes, Escape escape)
{
    std::string out = "\"";
    for (std::size_t at = 0; at < bytes.size();) {
        const auto byte = static_cast<unsigned char>(bytes[at]);
        const std::size_t length = sequenceLength(bytes, at);
        if (byte == '"' || byte == '\\') {
            out += {'\\', static_cast<char>(byte)};
        } else if (byte < 0x20 || byte == 0x7F || length == 0) {
            out += escape(byte, length == 0);
        } else {
            out.append(bytes.substr(at, length));
        }
        at += length != 0 ? length : 1;
    }
    return out + "\"";
}

} // namespace

bool isValidUtf8(std::string_view bytes)
{
    for (std::size_t at = 0, length = 0; at < bytes.size(); at += length) {
        if ((length = sequenceLength(bytes, at)) == 0) {
            return false;
        }
    }
    return true;
}

std::string hexText(std::string_view bytes)
{
    std::string hex;
    for (const char c : bytes) {
        hex += hexByte(static_cast<unsigned char>(c));
    }
    return hex;
}

std::string jsonString(std::string_view bytes)
{
    return quoted(bytes, [](unsigned char byte, bool illFormed) { return illFormed ? "\\ufffd" : "\\u00" + hexByte(byte); });
}

std::string quotedName(std::string_view bytes)
{
    return quoted(bytes, [](unsigned char byte, bool) { return "\\x" + hexByte(byte); });
}

} // namespace marld
