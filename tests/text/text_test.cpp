// Text conversion at the library's edges: UTF-8 and UTF-16 at every length boundary and
// with every kind of malformed input, and the Windows-1252 code page both ways.
#include "text/text.hpp"

#include <gtest/gtest.h>

#include <string>

namespace selvarn::text {
namespace {

TEST(Text, Utf8AndUtf16AtEveryBoundary) {
  struct Case {
    const char* utf8;
    std::u16string utf16;
    const char* back;  // nullptr: the same as utf8
  } const cases[] = {
      {"\x7F", u"\x7F", nullptr},
      {"\xC2\x80", u"\u0080", nullptr},
      {"\xDF\xBF", u"\u07FF", nullptr},
      {"\xE0\xA0\x80", u"\u0800", nullptr},
      {"\xEF\xBF\xBF", u"\uFFFF", nullptr},
      {"\xF0\x90\x80\x80", u"\U00010000", nullptr},
      {"\xF4\x8F\xBF\xBF", u"\U0010FFFF", nullptr},
      // Malformed: one U+FFFD for each lead byte with what belonged to it.
      {"\xC0\x80", u"\uFFFD\uFFFD", "\xEF\xBF\xBD\xEF\xBF\xBD"},  // overlong, two bytes
      {"\xE0\x9F\xBF", u"\uFFFD", "\xEF\xBF\xBD"},                // overlong, three bytes
      {"\xF0\x8F\xBF\xBF", u"\uFFFD", "\xEF\xBF\xBD"},            // overlong, four bytes
      {"\xF4\x90\x80\x80", u"\uFFFD", "\xEF\xBF\xBD"},            // above U+10FFFF
      {"\xED\xA0\x80", u"\uFFFD", "\xEF\xBF\xBD"},                // a surrogate
      {"\xE2\x82"
       "A",
       u"\uFFFDA",
       "\xEF\xBF\xBD"
       "A"},  // cut short
      {"\xF5\x80", u"\uFFFD\uFFFD", "\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utf8ToUtf16(c.utf8), c.utf16) << c.utf8;
    EXPECT_EQ(Utf16ToUtf8(c.utf16), c.back != nullptr ? c.back : c.utf8) << c.utf8;
  }
  EXPECT_EQ(Utf8ToCodePoints("a\xF0\x9F\x98\x80\xC0"), U"a\U0001F600\uFFFD");
  // Unpaired surrogates in UTF-16 become U+FFFD.
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xD800, u'A', 0xDFFF, 0xDBFF}),
            "\xEF\xBF\xBD"
            "A\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Text, Windows1252BothWays) {
  const std::pair<char16_t, int> codes[] = {
      {0x7F, 0x7F}, {0x80, '?'},  {0x81, 0x81},   {0x9F, '?'},    {0xA0, 0xA0},
      {0xFF, 0xFF}, {0x100, '?'}, {0x20AC, 0x80}, {0x0178, 0x9F}, {0x2122, 0x99},
  };
  for (const auto& [unit, code] : codes) EXPECT_EQ(AnsiCode(unit), code) << int{unit};
  EXPECT_EQ(AnsiBytesToUtf8("\x80\x81\x9D\x9F\xE9"), "\u20AC\u0081\u009D\u0178\u00E9");
  EXPECT_EQ(Utf8ToAnsiBytes("\u20AC\u00E9\u4E2D"), "\x80\xE9?");
}

}  // namespace
}  // namespace selvarn::text
