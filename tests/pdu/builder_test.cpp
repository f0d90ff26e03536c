// The SMS-SUBMIT builder: whole PDUs to the digit, and every input it must refuse.
#include <gtest/gtest.h>

#include <string>

#include "mapping_folder.hpp"
#include "pdu/pdu6.hpp"
#include "pdu/pdu_converter.hpp"
#include "pdu/tpdu.hpp"
#include "selvarn/error.hpp"
#include "support/errors.hpp"
#include "vectors.hpp"

namespace selvarn::PDU6 {
namespace {

using selvarn::testing::Hex;
using selvarn::testing::MappingFolder;

constexpr char kExample1[] = "00610008915155100000000A050003010101C2E231";

// A known good PDU in the module state, so a refused call can be seen to leave it.
void BuildExample1() {
  ASSERT_TRUE(BuildSubmitPDU("+15550100", "abc", 1, 1, 1, 7, "", 0, 0));
  ASSERT_EQ(PDUString, kExample1);
  ASSERT_EQ(PDULength, 20);
}

TEST(BuildSubmitPDU, WorkedExamples) {
  BuildExample1();
  EXPECT_EQ(SeptetCount, 3);
  ASSERT_TRUE(BuildSubmitPDU("5550100", "hi", 255, 2, 2, 7, "\"+15550199\"", 0xA7, 0));
  EXPECT_EQ(PDUString, "05915155109971000781550501F00000A709050003FF0202D069");
  EXPECT_EQ(PDULength, 20);
  EXPECT_EQ(SeptetCount, 2);
}

TEST(BuildSubmitPDU, AddressHeaderAndValidityFields) {
  struct Case {
    const char* number;
    const char* service_centre;
    int reference, total, sequence;
    std::uint8_t validity;
    const char* pdu;
    int tpdu_octets;
  } const cases[] = {
      {"1555010", "", 1, 1, 1, 0, "00 61 00 0781515510F0 0000 0A 050003010101 C2E231", 20},
      {"12", "\"123", 0, 1, 1, 0, "038121F3 61 00 028121 0000 0A 050003000101 C2E231", 17},
      {"0", "12\"", 16, 3, 2, 1, "028121 71 00 0181F0 0000 01 0A 050003100302 C2E231", 18},
      {"12345678901234567890", "5550199", 7, 200, 199, 255,
       "0581550591F9 71 00 148121436587092143658709 0000 FF 0A 05000307C8C7 C2E231", 27},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(BuildSubmitPDU(c.number, "abc", c.reference, c.total, c.sequence, 7,
                               c.service_centre, c.validity, 0))
        << c.number;
    EXPECT_EQ(PDUString, Hex(c.pdu)) << c.number;
    EXPECT_EQ(PDULength, c.tpdu_octets) << c.number;
  }
}

TEST(BuildSubmitPDU, UserDataLengthAndCodings) {
  MappingFolder folder;
  folder.Write("0x41\t0x0041\n0x48\t0x0048\n0x61\t0x0061\n");
  struct Case {
    std::string text;
    std::uint8_t coding;
    std::int16_t prefix;
    const char* dcs_udl;
    int septets, tpdu_octets;
  } const cases[] = {
      {std::string(153, 'a'), 7, 0, "00A0", 153, 151},             // with the fill bit: 134 octets
      {std::string(151, 'a') + "\u20AC", 7, 0, "00A0", 153, 151},  // the escape pair fits
      {"[]", 7, 0, "000B", 4, 21},
      {"Hi", 8, 0, "0408", 0, 19},
      {std::string(134, 'a'), 8, -1, "048C", 0, 151},  // the prefix is for UCS2 only
      {"AH", 16, 0, "080A", 0, 21},
      {"A", 16, 1, "080A", 0, 21},  // any non-zero value asks for the prefix
      {std::string(66, 'a'), 16, -1, "088C", 0, 151},
  };
  for (const auto& c : cases) {
    SeptetCount = 0;
    ASSERT_TRUE(BuildSubmitPDU("+15550100", c.text, 1, 1, 1, c.coding, "", 0, c.prefix)) << c.text;
    EXPECT_EQ(PDUString.substr(20, 4), c.dcs_udl) << c.text;
    EXPECT_EQ(PDULength, c.tpdu_octets) << c.text;
    EXPECT_EQ(SeptetCount, c.septets) << c.text;
  }
  ASSERT_TRUE(BuildSubmitPDU("+15550100", "\u00E4\u20AC", 1, 1, 1, 8, "", 0, 0));
  EXPECT_EQ(PDUString, "006100089151551000000408050003010101E480");
  ASSERT_TRUE(BuildSubmitPDU("+15550100", "AH", 1, 1, 1, 16, "", 0, -1));
  EXPECT_EQ(PDUString, "00610008915155100000080C050003010101000100410048");
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

TEST(BuildSubmitPDU, RefusesWhatWouldNotMakeAWellFormedPDU) {
  MappingFolder folder;
  folder.Write("0x61\t0x0061\n");
  const std::string n = "+15550100";
  struct Case {
    const char* why;
    std::string number;
    std::string text;
    int reference, total, sequence;
    std::uint8_t coding;
    std::string service_centre;
    std::int16_t prefix;
  } const cases[] = {
      {"empty text", n, "", 1, 1, 1, 7, "", 0},
      {"161 characters", n, std::string(161, 'a'), 1, 1, 1, 7, "", 0},
      {"154 septets", n, std::string(154, 'a'), 1, 1, 1, 7, "", 0},
      {"escape pair past 153", n, std::string(152, 'a') + "\u20AC", 1, 1, 1, 7, "", 0},
      {"coding 0", n, "abc", 1, 1, 1, 0, "", 0},
      {"reference -1", n, "abc", -1, 1, 1, 7, "", 0},
      {"reference 256", n, "abc", 256, 1, 1, 7, "", 0},
      {"total 0", n, "abc", 1, 0, 0, 7, "", 0},
      {"sequence 0", n, "abc", 1, 2, 0, 7, "", 0},
      {"sequence above total", n, "abc", 1, 2, 3, 7, "", 0},
      {"sequence 256", n, "abc", 1, 255, 256, 7, "", 0},
      {"plus alone", "+", "abc", 1, 1, 1, 7, "", 0},
      {"hyphen", "012-5550147", "abc", 1, 1, 1, 7, "", 0},
      {"command smuggled in the number", "1\x1A\r\nAT+CMGD=1", "abc", 1, 1, 1, 7, "", 0},
      {"21 digits", std::string(21, '1'), "abc", 1, 1, 1, 7, "", 0},
      {"service centre quotes only", n, "abc", 1, 1, 1, 7, "\"\"", 0},
      {"service centre hyphen", n, "abc", 1, 1, 1, 7, "+1555-0199", 0},
      {"8-bit 135 characters", n, std::string(135, 'a'), 1, 1, 1, 8, "", 0},
      {"8-bit 141 characters", n, std::string(141, 'a'), 1, 1, 1, 8, "", 0},
      {"UCS2 68 characters", n, std::string(68, 'a'), 1, 1, 1, 16, "", 0},
      {"UCS2 67 characters and prefix", n, std::string(67, 'a'), 1, 1, 1, 16, "", -1},
  };
  for (const auto& c : cases) {
    BuildExample1();
    EXPECT_FALSE(BuildSubmitPDU(c.number, c.text, c.reference, c.total, c.sequence, c.coding,
                                c.service_centre, 0, c.prefix))
        << c.why;
    EXPECT_EQ(PDUString, kExample1) << c.why;
    EXPECT_EQ(PDULength, 20) << c.why;
  }
}

TEST(BuildSubmitPDU, MissingMappingFileReachesTheCaller) {
  MappingFolder folder;  // empty
  BuildExample1();
  EXPECT_EQ(selvarn::testing::ErrorNumberOf(
                [] { BuildSubmitPDU("+15550100", "abc", 1, 1, 1, 16, "", 0, 0); }),
            err::kFileNotFound);
  EXPECT_EQ(PDUString, kExample1);
  EXPECT_EQ(PDULength, 20);
  // Limits are checked before the file is needed.
  EXPECT_FALSE(BuildSubmitPDU("+15550100", std::string(71, 'a'), 1, 1, 1, 16, "", 0, 0));
}

}  // namespace
}  // namespace selvarn::PDU6
