// GSM 7-bit alphabet, septet packing, the binary helpers and 8-bit data.
#include <gtest/gtest.h>

#include <string>

#include "pdu/pdu6.hpp"
#include "selvarn/error.hpp"
#include "support/errors.hpp"

namespace selvarn::PDU6 {
namespace {

using selvarn::testing::ErrorNumberOf;

TEST(GSMAlphabetCode, TranslatesEveryCodeThatTheAlphabetCarries) {
  struct Case {
    int code, gsm, second;  // second: the extension code after an escape
  };
  // clang-format off
  const Case cases[] = {
      // Characters whose GSM position differs from their Windows-1252 one.
      {0x40, 0x00, 0}, {0xA3, 0x01, 0}, {0x24, 0x02, 0}, {0xA5, 0x03, 0}, {0xE8, 0x04, 0},
      {0xE9, 0x05, 0}, {0xF9, 0x06, 0}, {0xEC, 0x07, 0}, {0xF2, 0x08, 0}, {0xC7, 0x09, 0},
      {0xD8, 0x0B, 0}, {0xF8, 0x0C, 0}, {0xC5, 0x0E, 0}, {0xE5, 0x0F, 0}, {0x5F, 0x11, 0},
      {0xC6, 0x1C, 0}, {0xDF, 0x1E, 0}, {0xC9, 0x1F, 0}, {0xA4, 0x24, 0}, {0xA1, 0x40, 0},
      {0xC4, 0x5B, 0}, {0xDC, 0x5E, 0}, {0xA7, 0x5F, 0}, {0xBF, 0x60, 0}, {0xE0, 0x7F, 0},
      {0x0A, 0x0A, 0}, {0x0D, 0x0D, 0}, {'A', 0x41, 0}, {'z', 0x7A, 0}, {' ', 0x20, 0},
      // Extension characters: the escape, then their code.
      {0x0C, 0x1B, 0x0A}, {'^', 0x1B, 0x14}, {'{', 0x1B, 0x28}, {'}', 0x1B, 0x29},
      {'\\', 0x1B, 0x2F}, {'[', 0x1B, 0x3C}, {'~', 0x1B, 0x3D}, {']', 0x1B, 0x3E},
      {'|', 0x1B, 0x40}, {0x80, 0x1B, 0x65},
      // No representation, an escape or NBSP in the text, codes out of range: '?'.
      {'`', 0x3F, 0}, {0xE1, 0x3F, 0}, {0x1B, 0x3F, 0}, {0xA0, 0x3F, 0}, {0x81, 0x3F, 0},
      {-1, 0x3F, 0}, {256, 0x3F, 0},
  };
  // clang-format on
  for (const auto& c : cases) {
    const auto code = static_cast<std::int16_t>(c.code);
    EXPECT_EQ(GSMAlphabetCode(code), c.gsm) << "code " << c.code;
    const gsm::Septets s = GSMSeptets(code);
    EXPECT_EQ(s.count, c.second == 0 ? 1 : 2) << "code " << c.code;
    EXPECT_EQ(s.code[1], c.second) << "code " << c.code;
  }
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
      {"\u00C4\u00DF_\u00BF", "B69E0818", 4},
      {"\u20AC", "3665", 2},
      {"a\u20ACb", "C29BB218", 4},
      {"x^~|\\", "F01BCAA6B7016E5E", 9},
      {"\u03A9\u00E1`", "7EBF1F", 3},        // outside the code page or the alphabet
      {"\xF0\x9F\x98\x80", "7E", 1},          // beyond the BMP: one character, one '?'
  };
  // clang-format on
  for (const auto& c : cases) {
    SeptetCount = -1;
    EXPECT_EQ(Encode_7_bit(c.text), c.hex) << c.text;
    EXPECT_EQ(SeptetCount, c.septets) << c.text;
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
  EXPECT_EQ(BinToDec("0000000000000000000000001"), 1);
  EXPECT_EQ(ErrorNumberOf([] { DecToBin(-1); }), err::kInvalidCall);
  EXPECT_EQ(ErrorNumberOf([] { BinToDec("1000000000000000"); }), err::kOverflow);
  EXPECT_EQ(ErrorNumberOf([] { BinToDec("10a1"); }), err::kTypeMismatch);
}

TEST(Encode8Bit, WritesEachWindows1252Code) {
  EXPECT_EQ(Encode_8_bit(""), "");
  EXPECT_EQ(Encode_8_bit("Hi\r"), "48690D");
  EXPECT_EQ(Encode_8_bit("\u00E4\u00FF\u20AC\u2122"), "E4FF8099");
  EXPECT_EQ(Encode_8_bit("\u03A9"), "3F");  // not in the code page
}

}  // namespace
}  // namespace selvarn::PDU6
