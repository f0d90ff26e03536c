// The long-message codec: the GSM alphabet by character code, septet packing, the
// binary helpers, and the SMS-SUBMIT builder with every input it must refuse.
#include "pdu/pdu6.hpp"

#include <gtest/gtest.h>

#include <string>

#include "mapping_folder.hpp"
#include "pdu/pdu_converter.hpp"
#include "selvarn/error.hpp"
#include "support/errors.hpp"
#include "vectors.hpp"

namespace selvarn::PDU6 {
namespace {

using selvarn::testing::ErrorNumberOf;
using selvarn::testing::Hex;

TEST(PDU6, GSMAlphabetCodeOfEveryKindOfCharacter) {
  struct Case {
    int code, gsm, second;  // second: the extension code after an escape
  };
  // clang-format off
  const Case cases[] = {
      // Characters whose GSM position differs from their Windows-1252 one.
      {0x40, 0x00, 0}, {0x24, 0x02, 0}, {0xC7, 0x09, 0}, {0xC9, 0x1F, 0}, {0xA4, 0x24, 0},
      {0xA1, 0x40, 0}, {0xDC, 0x5E, 0}, {0xE0, 0x7F, 0},
      // Extension characters (more in the packing table below): the escape, then their code.
      {0x0C, 0x1B, 0x0A}, {'{', 0x1B, 0x28}, {'}', 0x1B, 0x29}, {'[', 0x1B, 0x3C},
      // No representation, an escape or NBSP in the text, codes out of range: '?'.
      {'`', 0x3F, 0}, {0x1B, 0x3F, 0}, {0xA0, 0x3F, 0}, {0x81, 0x3F, 0}, {-1, 0x3F, 0},
      {256, 0x3F, 0},
  };
  // clang-format on
  for (const auto& c : cases) {
    const auto code = static_cast<std::int16_t>(c.code);
    EXPECT_EQ(GSMAlphabetCode(code), c.gsm) << "code " << c.code;
    const gsm::Septets s = GSMSeptets(code);
    EXPECT_EQ(s.count * 256 + s.code[1], (c.second == 0 ? 256 : 512) + c.second) << c.code;
  }
}

TEST(PDU6, Encode7BitPacksBehindOneFillBitAndCountsSeptets) {
  struct Case {
    const char* text;
    const char* hex;
    int septets;
  } const cases[] = {
      {"", "", 0},
      {"\u00A3", "02", 1},
      {"abc", "C2E231", 3},
      {"hello", "D06536FB0D", 5},
      {"abcdefgh", "C2E231B96C3EA301", 8},   // the last octet carries one bit
      {"abcdefghi", "C2E231B96C3EA3D3", 9},  // fills seven octets exactly
      {"Hi\r\n", "90E98602", 4},
      {"\u00C4\u00DF_\u00BF", "B69E0818", 4},
      {"a\u20ACb", "C29BB218", 4},
      {"x^~|\\", "F01BCAA6B7016E5E", 9},
      {"\u03A9\u00E1`", "7EBF1F", 3},  // outside the code page or the alphabet
      {"\xF0\x9F\x98\x80", "7E", 1},   // beyond the BMP: one character, one '?'
  };
  for (const auto& c : cases) {
    SeptetCount = -1;
    EXPECT_EQ(Encode_7_bit(c.text), c.hex) << c.text;
    EXPECT_EQ(SeptetCount, c.septets) << c.text;
  }
  EXPECT_EQ(Encode_8_bit("Hi\r\u00E4\u00FF\u20AC\u2122\u03A9"), "48690DE4FF80993F");
}

TEST(PDU6, DecToBinAndBinToDec) {
  struct Case {
    int value;
    const char* bits;
  } const cases[] = {
      {0, "00000000"}, {5, "00000101"}, {256, "100000000"}, {32767, "111111111111111"}};
  for (const auto& c : cases) {
    EXPECT_EQ(DecToBin(static_cast<std::int16_t>(c.value)), c.bits) << c.value;
    EXPECT_EQ(BinToDec(c.bits), c.value) << c.bits;
  }
  EXPECT_EQ(BinToDec("0000000000000000000000001"), 1);
  EXPECT_EQ(ErrorNumberOf([] { DecToBin(-1); }), err::kInvalidCall);
  EXPECT_EQ(ErrorNumberOf([] { BinToDec("1000000000000000"); }), err::kOverflow);
  EXPECT_EQ(ErrorNumberOf([] { BinToDec("10a1"); }), err::kTypeMismatch);
}

constexpr char kExample1[] = "00610008915155100000000A050003010101C2E231";

TEST(BuildSubmitPDU, WholePdus) {
  testing::MappingFolder folder;
  folder.Write("0x41\t0x0041\n0x48\t0x0048\n0x61\t0x0061\n");
  struct Case {
    const char* number;
    std::string text;
    int reference, total, sequence;
    std::uint8_t coding;
    const char* service_centre;
    std::uint8_t validity;
    std::int16_t prefix;
    const char* pdu;
    int tpdu_octets, septets;
  } const cases[] = {
      {"+15550100", "abc", 1, 1, 1, 7, "", 0, 0, kExample1, 20, 3},
      {"5550100", "hi", 255, 2, 2, 7, "\"+15550199\"", 0xA7, 0,
       "05915155109971 00 0781550501F0 0000 A7 09 050003FF0202 D069", 20, 2},
      {"12", "abc", 0, 1, 1, 7, "\"123", 0, 0, "038121F3 61 00 028121 0000 0A 050003000101 C2E231",
       17, 3},
      {"12345678901234567890", "[]", 7, 255, 255, 7, "5550199\"", 255, 0,
       "0581550591F9 71 00 148121436587092143658709 0000 FF 0B 05000307FFFF 36BC8D0F", 28, 4},
      {"1", "\u00E4\u20AC", 16, 3, 2, 8, "", 1, -1, "00 71 00 0181F1 0004 01 08 050003100302 E480",
       17, 0},
      {"1", "AH", 1, 1, 1, 16, "", 0, -1, "00 61 00 0181F1 0008 0C 050003010101 000100410048", 20,
       0},
      {"1", "A", 1, 1, 1, 16, "", 0, 1, "00 61 00 0181F1 0008 0A 050003010101 00010041", 18, 0},
  };
  for (const auto& c : cases) {
    SeptetCount = 0;
    ASSERT_TRUE(BuildSubmitPDU(c.number, c.text, c.reference, c.total, c.sequence, c.coding,
                               c.service_centre, c.validity, c.prefix))
        << c.number;
    EXPECT_EQ(PDUString, Hex(c.pdu)) << c.number;
    EXPECT_EQ(PDULength, c.tpdu_octets) << c.number;
    EXPECT_EQ(SeptetCount, c.septets) << c.number;
  }
}

TEST(BuildSubmitPDU, LongestPartsFillOneMessage) {
  testing::MappingFolder folder;
  folder.Write("0x61\t0x0061\n");
  struct Case {
    std::string text;
    std::uint8_t coding;
    std::int16_t prefix;
  } const cases[] = {
      {std::string(153, 'a'), 7, 0},             // 153 septets and the fill bit: 134 octets
      {std::string(151, 'a') + "\u20AC", 7, 0},  // the escape pair fits exactly
      {std::string(134, 'a'), 8, -1},            // the prefix is for UCS2 only
      {std::string(66, 'a'), 16, -1},
      {std::string(67, 'a'), 16, 0},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(BuildSubmitPDU("1", c.text, 1, 1, 1, c.coding, "", 0, c.prefix)) << c.text;
    EXPECT_EQ(PDUString.substr(16, 2), c.coding == 7 ? "A0" : "8C") << c.text;
    EXPECT_EQ(PDULength, 148) << c.text;
  }
}

// Every 7-bit path sends one '?' for each code point the alphabet cannot carry: an emoji
// is one septet, not one per surrogate.
TEST(BuildSubmitPDU, OneQuestionMarkPerCodePointOnEvery7BitPath) {
  struct Case {
    const char* text;
    const char* septets;  // hex, one octet per septet
  } const cases[] = {
      {"\xF0\x9F\x98\x80", "3F"},
      {"a\xF0\x9F\x98\x80\xF0\x9F\x8E\x89"
       "b",
       "613F3F62"},
      {"\xE4\xB8\xAD\xE6\x96\x87", "3F3F"},  // two CJK characters
      {"x\xFF"
       "y",
       "783F79"},  // a byte that is not UTF-8
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(BuildSubmitPDU("1", c.text, 1, 1, 1, 7, "", 0, 0));
    const auto part = pdu::Pdu<pdu::SubmitTpdu>::FromHex(PDUString).tpdu.user_data.body;
    EXPECT_EQ(pdu::ToHex(part), c.septets) << c.text;
    EXPECT_EQ(SeptetLength(c.text), static_cast<int>(part.size())) << c.text;

    pdu::PDUConverter single;
    single.PhoneNumber("1");
    single.Text(c.text);
    single.Encode();
    const auto body = pdu::Pdu<pdu::SubmitTpdu>::FromHex(single.PDU()).tpdu.user_data.body;
    EXPECT_EQ(pdu::ToHex(body), c.septets) << c.text;
  }
  EXPECT_EQ(CharacterSeptets(U'\U0001F600'), 1);
  EXPECT_EQ(CharacterSeptets(U'\u20AC'), 2);
}

TEST(BuildSubmitPDU, RefusesWhatWouldNotMakeAWellFormedPDUAndKeepsThePrevious) {
  testing::MappingFolder folder;
  folder.Write("0x61\t0x0061\n");
  const std::string n = "+15550100";
  std::string emoji81;
  for (int i = 0; i < 81; ++i) emoji81 += "\xF0\x9F\x98\x80";
  struct Case {
    std::string number, text;
    int reference, total, sequence;
    std::uint8_t coding;
    std::string service_centre;
    std::int16_t prefix;
  } const cases[] = {
      {n, "", 1, 1, 1, 7, "", 0},
      {n, std::string(154, 'a'), 1, 1, 1, 7, "", 0},
      {n, emoji81, 1, 1, 1, 7, "", 0},  // 81 septets, but 162 characters
      {n, std::string(152, 'a') + "\u20AC", 1, 1, 1, 7, "", 0},
      {n, "abc", 1, 1, 1, 0, "", 0},
      {n, "abc", -1, 1, 1, 7, "", 0},
      {n, "abc", 256, 1, 1, 7, "", 0},
      {n, "abc", 1, 0, 0, 7, "", 0},
      {n, "abc", 1, 2, 3, 7, "", 0},
      {n, "abc", 1, 255, 256, 7, "", 0},
      {n, "abc", 1, 256, 1, 7, "", 0},
      {"012-5550147", "abc", 1, 1, 1, 7, "", 0},
      {"1\x1A\r\nAT+CMGD=1", "abc", 1, 1, 1, 7, "", 0},  // a command smuggled in
      {n, "abc", 1, 1, 1, 7, "+1555-0199", 0},
      {n, std::string(135, 'a'), 1, 1, 1, 8, "", 0},
      {n, std::string(68, 'a'), 1, 1, 1, 16, "", 0},
      {n, std::string(67, 'a'), 1, 1, 1, 16, "", -1},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(BuildSubmitPDU(n, "abc", 1, 1, 1, 7, "", 0, 0));
    EXPECT_FALSE(BuildSubmitPDU(c.number, c.text, c.reference, c.total, c.sequence, c.coding,
                                c.service_centre, 0, c.prefix))
        << c.number << " / " << c.text.size() << " / " << c.reference << c.total << c.sequence;
    EXPECT_EQ(PDUString + std::to_string(PDULength), std::string(kExample1) + "20");
  }
  testing::MappingFolder empty;  // a missing mapping file reaches the caller
  EXPECT_EQ(ErrorNumberOf([&] { BuildSubmitPDU(n, "abc", 1, 1, 1, 16, "", 0, 0); }),
            err::kFileNotFound);
  EXPECT_EQ(PDUString, kExample1);
  // More than 70 characters are refused before the file is needed; 70 need it.
  EXPECT_FALSE(BuildSubmitPDU(n, std::string(71, 'a'), 1, 1, 1, 16, "", 0, 0));
  EXPECT_EQ(ErrorNumberOf([&] { BuildSubmitPDU(n, std::string(70, 'a'), 1, 1, 1, 16, "", 0, 0); }),
            err::kFileNotFound);
}

}  // namespace
}  // namespace selvarn::PDU6
