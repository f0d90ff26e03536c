#include "text/text.hpp"

#include <array>

namespace selvarn::text {
namespace {

// Windows-1252 positions 0x80-0x9F; 0 marks the unassigned ones.
constexpr std::array<char16_t, 32> kHigh = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

char32_t DecodeUtf8(std::string_view s, std::size_t i, std::size_t& len) {
  const auto b = static_cast<unsigned char>(s[i]);
  len = 1;
  if (b < 0x80) return b;
  std::size_t need = 0;
  char32_t c = 0;
  char32_t min = 0;
  if (b >= 0xC2 && b <= 0xDF) {
    need = 1, c = b & 0x1F, min = 0x80;
  } else if (b >= 0xE0 && b <= 0xEF) {
    need = 2, c = b & 0x0F, min = 0x800;
  } else if (b >= 0xF0 && b <= 0xF4) {
    need = 3, c = b & 0x07, min = 0x10000;
  } else {
    return 0xFFFD;
  }
  std::size_t k = 1;
  for (; k <= need && i + k < s.size(); ++k) {
    const auto t = static_cast<unsigned char>(s[i + k]);
    if ((t & 0xC0) != 0x80) break;
    c = (c << 6) | (t & 0x3F);
  }
  if (k == need + 1 && c >= min && c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF)) {
    len = need + 1;
    return c;
  }
  len = k;
  return 0xFFFD;
}

std::u16string Utf8ToUtf16(std::string_view s) {
  std::u16string out;
  std::size_t len = 0;
  for (std::size_t i = 0; i < s.size(); i += len) {
    char32_t c = DecodeUtf8(s, i, len);
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

std::u32string Utf8ToCodePoints(std::string_view s) {
  std::u32string out;
  std::size_t len = 0;
  for (std::size_t i = 0; i < s.size(); i += len) out += DecodeUtf8(s, i, len);
  return out;
}

std::string Utf16ToUtf8(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    char32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
        s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    AppendUtf8(out, c);
  }
  return out;
}

int AnsiCode(char16_t unit) {
  if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) return unit;
  for (std::size_t i = 0; i < kHigh.size(); ++i) {
    if (kHigh[i] == unit && unit != 0) return static_cast<int>(0x80 + i);
  }
  // The unassigned positions round-trip as their C1 controls.
  if (unit >= 0x80 && unit <= 0x9F && kHigh[unit - 0x80] == 0) return unit;
  return '?';
}

char16_t FromAnsi(std::uint8_t code) {
  if (code >= 0x80 && code <= 0x9F && kHigh[code - 0x80] != 0) return kHigh[code - 0x80];
  return code;
}

std::string AnsiBytesToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (const char ch : bytes) AppendUtf8(out, FromAnsi(static_cast<std::uint8_t>(ch)));
  return out;
}

std::string Utf8ToAnsiBytes(std::string_view utf8) {
  std::string out;
  for (const char16_t u : Utf8ToUtf16(utf8)) out += static_cast<char>(AnsiCode(u));
  return out;
}

}  // namespace selvarn::text
