// Escaping of arbitrary bytes for marld's two output formats, so that a
// point name or a text can never break a line or a JSON string.
#pragma once

#include <string>
#include <string_view>

namespace marld {

// True when `bytes` is well-formed UTF-8 (no overlong forms, surrogates or
// code points beyond U+10FFFF).
[[nodiscard]] bool isValidUtf8(std::string_view bytes);

// A JSON string literal, quotes included: valid UTF-8 is kept, control bytes
// become \u00XX, and every byte that is not part of valid UTF-8 becomes
// \ufffd (so the string alone may not give the bytes back: see hexText).
[[nodiscard]] std::string jsonString(std::string_view bytes);

// The bytes as lower-case hex pairs.
[[nodiscard]] std::string hexText(std::string_view bytes);

// The bytes in double quotes for a text line: quote and backslash escaped,
// control bytes and bytes that are not well-formed UTF-8 as \xHH, so that
// the log stays text; well-formed sequences as they are.
[[nodiscard]] std::string quotedName(std::string_view bytes);

} // namespace marld
