// Text at the edges of the library: public text is UTF-8, algorithms that work on
// character codes see UTF-16 units mapped to Windows-1252, and the wire is bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace selvarn::text {

// The code point that starts at s[i], and in `len` the bytes it takes. A malformed
// sequence gives U+FFFD and skips the lead byte with the continuation bytes that belonged
// to it.
char32_t DecodeUtf8(std::string_view s, std::size_t i, std::size_t& len);

// Invalid UTF-8 sequences become U+FFFD, so a bad byte never aborts a conversion.
std::u16string Utf8ToUtf16(std::string_view utf8);
// The same text as code points, one per character, malformed sequences as U+FFFD.
std::u32string Utf8ToCodePoints(std::string_view utf8);
// Unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view utf16);

// The Windows-1252 code of one UTF-16 unit, or '?' (0x3F) when the code page has none.
int AnsiCode(char16_t unit);
// The character at a Windows-1252 position (the five unassigned positions map to the
// C1 control of the same number, as the platform's own conversion does).
char16_t FromAnsi(std::uint8_t code);

// Reply bytes from the wire, read as Windows-1252, as UTF-8 text for a property.
std::string AnsiBytesToUtf8(std::string_view bytes);
// UTF-8 text as Windows-1252 bytes, '?' for what the code page cannot hold.
std::string Utf8ToAnsiBytes(std::string_view utf8);

}  // namespace selvarn::text
