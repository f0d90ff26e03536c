// GSM 7-bit alphabet, septet packing, the binary helpers and 8-bit data.
#include <gtest/gtest.h>

#include "support/errors.hpp"

#include <string>

#include "pdu/pdu6.hpp"
#include "selvarn/error.hpp"

namespace selvarn::PDU6 {
namespace {

using selvarn::testing::ErrorNumberOf;

TEST(GSMAlphabetCode, TranslatesEveryCodeThatTheAlphabetCarries) {
  struct Case {
    int code, gsm;
  };
  // clang-format off
  const Case cases[] = {
      // Characters whose GSM position differs from their Windows-1252 one.
      {0x40, 0x00}, {0xA3, 0x01}, {0x24, 0x02}, {0xA5, 0x03}, {0xE8, 0x04}, {0xE9, 0x05},
      {0xF9, 0x06}, {0xEC, 0x07}, {0xF2, 0x08}, {0xC7, 0x09}, {0xD8, 0x0B}, {0xF8, 0x0C},
      {0xC5, 0x0E}, {0xE5, 0x0F}, {0x5F, 0x11}, {0xC6, 0x1C}, {0xE6, 0x1D}, {0xDF, 0x1E},
      {0xC9, 0x1F}, {0xA4, 0x24}, {0xA1, 0x40}, {0xC4, 0x5B}, {0xD6, 0x5C}, {0xD1, 0x5D},
      {0xDC, 0x5E}, {0xA7, 0x5F}, {0xBF, 0x60}, {0xE4, 0x7B}, {0xF6, 0x7C}, {0xF1, 0x7D},
      {0xFC, 0x7E}, {0xE0, 0x7F},
      // Same position in both.
      {0x0A, 0x0A}, {0x0D, 0x0D}, {'A', 0x41}, {'z', 0x7A}, {' ', 0x20}, {'?', 0x3F},
      // Extension characters announce their second septet with the escape.
      {'[', 0x1B}, {'\\', 0x1B}, {']', 0x1B}, {'^', 0x1B}, {'{', 0x1B}, {'|', 0x1B},
      {'}', 0x1B}, {'~', 0x1B}, {0x80, 0x1B}, {0x0C, 0x1B},
      // No representation, an escape or NBSP in the text, codes out of range: '?'.
      {'`', 0x3F}, {0xE1, 0x3F}, {0x1B, 0x3F}, {0xA0, 0x3F}, {0x81, 0x3F}, {0x09, 0x3F},
      {-1, 0x3F}, {-20000, 0x3F}, {256, 0x3F},
  };
  // clang-format on
  for (const auto& c : cases) {
    EXPECT_EQ(GSMAlphabetCode(static_cast<std::int16_t>(c.code)), c.gsm) << "code " << c.code;
  }
}

TEST(GSMSeptets, ExtensionCharactersTakeTheEscapeAndTheirCode) {
  struct Case {
    int code, second;
  } const cases[] = {{0x0C, 0x0A}, {'^', 0x14}, {'{', 0x28}, {'}', 0x29}, {'\\', 0x2F},
                     {'[', 0x3C},  {'~', 0x3D}, {']', 0x3E}, {'|', 0x40}, {0x80, 0x65}};
  for (const auto& c : cases) {
    const gsm::Septets s = GSMSeptets(static_cast<std::int16_t>(c.code));
    EXPECT_EQ(s.count, 2) << c.code;
    EXPECT_EQ(s.code[0], gsm::kEscape) << c.code;
    EXPECT_EQ(s.code[1], c.second) << c.code;
  }
  EXPECT_EQ(GSMSeptets(0xE4).count, 1);
  EXPECT_EQ(CharacterSeptets(u'\u20AC'), 2);
  EXPECT_EQ(CharacterSeptets(u'\u4E2D'), 1);  // becomes '?'
}

TEST(Encode7Bit, PacksBehindOneFillBitAndCountsSeptets) {
  struct Case {
    const char* text;
    const char* hex;
    int septets;
  };
  // clang-format off
  const Case cases[] = {
      {"", "", 0},
      {"A", "82", 1},
      {"\u00A3", "02", 1},
      {"_", "22", 1},
      {"@", "00", 1},
      {"abc", "C2E231", 3},
      {"hello", "D06536FB0D", 5},
      {"abcdefgh", "C2E231B96C3EA301", 8},   // the last octet carries one bit
      {"abcdefghi", "C2E231B96C3EA3D3", 9},  // fills seven octets exactly
      {"Hi\r\n", "90E98602", 4},
      {"\u00E4", "F6", 1},
      {"\u00C4\u00DF_\u00BF", "B69E0818", 4},
      {"[", "363C", 2},
      {"\u20AC", "3665", 2},
      {"{}", "36A84D0A", 4},
      {"a\u20ACb", "C29BB218", 4},
      {"x^~|\\", "F01BCAA6B7016E5E", 9},
      {"\f]", "368A8D0F", 4},
      {"\u03A9\u00E1`", "7EBF1F", 3},        // outside the code page or the alphabet
      {"\xF0\x9F\x98\x80", "7E3F", 2},        // beyond the BMP: two units, two '?'
  };
  // clang-format on
  for (const auto& c : cases) {
    SeptetCount = -1;
    EXPECT_EQ(Encode_7_bit(c.text), c.hex) << c.text;
    EXPECT_EQ(SeptetCount, c.septets) << c.text;
    EXPECT_EQ(SeptetLength(c.text), c.septets) << c.text;
  }
}

TEST(DecToBin, PadsToEightDigitsAndBinToDecReadsThemBack) {
  struct Case {
    int value;
    const char* bits;
  } const cases[] = {{0, "00000000"},    {5, "00000101"},      {255, "11111111"},
                     {256, "100000000"}, {1000, "1111101000"}, {32767, "111111111111111"}};
  for (const auto& c : cases) {
    EXPECT_EQ(DecToBin(static_cast<std::int16_t>(c.value)), c.bits) << c.value;
    EXPECT_EQ(BinToDec(c.bits), c.value) << c.bits;
  }
  EXPECT_EQ(BinToDec(""), 0);
  EXPECT_EQ(BinToDec("0110"), 6);
  EXPECT_EQ(BinToDec("0000000000000000000000001"), 1);
  EXPECT_EQ(ErrorNumberOf([] { DecToBin(-1); }), err::kInvalidCall);
  EXPECT_EQ(ErrorNumberOf([] { BinToDec("1000000000000000"); }), err::kOverflow);
  EXPECT_EQ(ErrorNumberOf([] { BinToDec("10a1"); }), err::kTypeMismatch);
}

TEST(Encode8Bit, WritesEachWindows1252Code) {
  struct Case {
    const char* text;
    const char* hex;
  } const cases[] = {
      {"", ""},
      {"Hi", "4869"},
      {"\r", "0D"},
      {"\u00E4\u00FF", "E4FF"},
      {"\u20AC\u2122", "8099"},
      {"\u03A9", "3F"},  // not in the code page
  };
  for (const auto& c : cases) EXPECT_EQ(Encode_8_bit(c.text), c.hex) << c.text;
}

}  // namespace
}  // namespace selvarn::PDU6
