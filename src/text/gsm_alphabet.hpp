// The GSM 7-bit default alphabet and its extension table (3GPP TS 23.038 6.2.1 and
// 6.2.1.1), both ways, shared by the long-message codec and the single-message converter.
#pragma once

#include <cstdint>

namespace selvarn::gsm {

inline constexpr std::uint8_t kEscape = 0x1B;

// The septets that carry one character: one code of the default alphabet, or the
// escape followed by an extension code. count 0 when the alphabet cannot carry it.
struct Septets {
  std::uint8_t count = 0;
  std::uint8_t code[2] = {0, 0};
};
Septets FromUnicode(char32_t code_point);

// What every 7-bit path sends for a character the alphabet cannot carry: one '?' per
// code point, so a character beyond the BMP is one septet, not one per surrogate.
inline constexpr Septets kReplacement{1, {0x3F, 0}};

// The character at a default-alphabet position (0-127). Position 0x1B, the escape,
// gives U+00A0 (the standard's suggested rendering where no extension follows).
char16_t BasicToUnicode(std::uint8_t septet);
// The character an escape followed by this code stands for, or 0 when the extension
// table has no entry there (a receiver then shows the default-alphabet character).
char16_t ExtensionToUnicode(std::uint8_t septet);

}  // namespace selvarn::gsm
