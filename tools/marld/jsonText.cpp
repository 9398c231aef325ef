#include "jsonText.h"

#include <cstddef>

namespace marld {

namespace {

// Length of the well-formed UTF-8 sequence of two to four bytes that starts
// at `at`, or 0 when there is none (overlong forms, surrogates and code
// points beyond U+10FFFF are not well-formed).
std::size_t utf8SequenceLength(std::string_view bytes, std::size_t at)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[at + i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char secondLow = 0x80;
    unsigned char secondHigh = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        secondLow = lead == 0xE0 ? 0xA0 : 0x80;
        secondHigh = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        secondLow = lead == 0xF0 ? 0x90 : 0x80;
        secondHigh = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
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

bool isControl(unsigned char byte)
{
    return byte < 0x20 || byte == 0x7F;
}

std::string hexByte(unsigned char byte)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    return {kDigits[byte >> 4], kDigits[byte & 0x0F]};
}

} // namespace

bool isValidUtf8(std::string_view bytes)
{
    for (std::size_t at = 0; at < bytes.size();) {
        if (static_cast<unsigned char>(bytes[at]) < 0x80) {
            ++at;
        } else if (const std::size_t length = utf8SequenceLength(bytes, at); length != 0) {
            at += length;
        } else {
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
    std::string out = "\"";
    for (std::size_t at = 0; at < bytes.size();) {
        const auto byte = static_cast<unsigned char>(bytes[at]);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
            ++at;
        } else if (isControl(byte)) {
            out += "\\u00" + hexByte(byte);
            ++at;
        } else if (byte < 0x80) {
            out += static_cast<char>(byte);
            ++at;
        } else if (const std::size_t length = utf8SequenceLength(bytes, at); length != 0) {
            out.append(bytes.substr(at, length));
            at += length;
        } else {
            out += "\\ufffd";
            ++at;
        }
    }
    return out + "\"";
}

std::string quotedName(std::string_view bytes)
{
    std::string out = "\"";
    for (std::size_t at = 0; at < bytes.size();) {
        const auto byte = static_cast<unsigned char>(bytes[at]);
        const std::size_t length = byte < 0x80 ? 1 : utf8SequenceLength(bytes, at);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += bytes[at];
        } else if (isControl(byte) || length == 0) {
            out += "\\x" + hexByte(byte);
        } else {
            out.append(bytes.substr(at, length));
        }
        at += length != 0 ? length : 1;
    }
    return out + "\"";
}

} // namespace marld
