// The SMS-SUBMIT builder: whole PDUs to the digit, and every input it must refuse.
#include <gtest/gtest.h>

#include <string>

#include "mapping_folder.hpp"
#include "pdu/pdu6.hpp"
#include "selvarn/error.hpp"

namespace selvarn::PDU6 {
namespace {

using selvarn::testing::MappingFolder;

constexpr char kExample1[] = "00610008915155100000000A050003010101C2E231";

// A known good PDU in the module state, so a refused call can be seen to leave it.
void BuildExample1() {
  ASSERT_TRUE(BuildSubmitPDU("+15550100", "abc", 1, 1, 1, 7, "", 0, 0));
  ASSERT_EQ(PDUString, kExample1);
  ASSERT_EQ(PDULength, 20);
}

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST(BuildSubmitPDU, WorkedExamples) {
  BuildExample1();
  EXPECT_EQ(SeptetCount, 3);

  ASSERT_TRUE(BuildSubmitPDU("5550100", "hi", 255, 2, 2, 7, "\"+15550199\"", 0xA7, 0));
  EXPECT_EQ(PDUString, "05915155109971000781550501F00000A709050003FF0202D069");
  EXPECT_EQ(PDULength, 20);
  EXPECT_EQ(SeptetCount, 2);
}

TEST(BuildSubmitPDU, AddressFields) {
  struct Case {
    const char* number;
    const char* service_centre;
    const char* sc_part;
    const char* destination;  // length, type, semi-octets
  } const cases[] = {
      {"15550100", "", "00", "088151551000"},
      {"1555010", "", "00", "0781515510F0"},  // odd: F before the last digit
      {"+1555010", "", "00", "0791515510F0"},
      {"1", "", "00", "0181F1"},
      {"12", "", "00", "028121"},
      {"12345678901234567890", "", "00", "148121436587092143658709"},
      {"0", "+15550199", "059151551099", "0181F0"},
      {"0", "\"+15550199\"", "059151551099", "0181F0"},
      {"0", "5550199", "0581550591F9", "0181F0"},
      {"0", "\"123", "038121F3", "0181F0"},  // one quote at either end is taken off
      {"0", "12\"", "028121", "0181F0"},
  };
  for (const auto& c : cases) {
    const std::string sc_part = c.sc_part;
    ASSERT_TRUE(BuildSubmitPDU(c.number, "abc", 1, 1, 1, 7, c.service_centre, 0, 0)) << c.number;
    const std::string tpdu = std::string("6100") + c.destination + "00000A050003010101C2E231";
    EXPECT_EQ(PDUString, sc_part + tpdu) << c.number << " / " << c.service_centre;
    EXPECT_EQ(PDULength, tpdu.size() / 2) << c.number;
  }
}

TEST(BuildSubmitPDU, HeaderValidityAndLengthFields) {
  struct Case {
    int reference, total, sequence;
    std::uint8_t validity;
    const char* first_octet;
    const char* vp;
    const char* header;
  } const cases[] = {
      {1, 1, 1, 0, "61", "", "050003010101"},         {0, 1, 1, 0, "61", "", "050003000101"},
      {255, 255, 255, 0, "61", "", "050003FFFFFF"},   {16, 3, 2, 1, "71", "01", "050003100302"},
      {7, 200, 199, 255, "71", "FF", "05000307C8C7"},
  };
  for (const auto& c : cases) {
    const std::string header = c.header;
    ASSERT_TRUE(
        BuildSubmitPDU("+15550100", "abc", c.reference, c.total, c.sequence, 7, "", c.validity, 0));
    EXPECT_EQ(PDUString, std::string("00") + c.first_octet + "000891515510000000" + c.vp + "0A" +
                             header + "C2E231");
  }
}

TEST(BuildSubmitPDU, SevenBitLengthCountsSeptets) {
  struct Case {
    std::string text;
    const char* udl;
    int septets;
  } const cases[] = {
      {std::string(153, 'a'), "A0", 153},
      {std::string(151, 'a') + "\u20AC", "A0", 153},  // the escape pair fits exactly
      {"[]", "0B", 4},
      {"\u00E4", "08", 1},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(BuildSubmitPDU("+15550100", c.text, 1, 1, 1, 7, "", 0, 0)) << c.text;
    const std::string encoded = Encode_7_bit(c.text);
    EXPECT_EQ(PDUString, std::string("0061000891515510000000") + c.udl + "050003010101" + encoded);
    EXPECT_EQ(PDULength, 11 + 6 + encoded.size() / 2);
    EXPECT_EQ(SeptetCount, c.septets);
  }
  ASSERT_TRUE(BuildSubmitPDU("+15550100", std::string(153, 'a'), 1, 1, 1, 7, "", 0, 0));
  EXPECT_EQ(PDULength, 11 + 6 + 134);  // 153 septets and the fill bit: 134 octets
}

TEST(BuildSubmitPDU, EightBitAndUCS2AreCompletePDUs) {
  MappingFolder folder;
  folder.Write("0x41\t0x0041\n0x48\t0x0048\n0x61\t0x0061\n");
  struct Case {
    std::string text;
    std::uint8_t coding;
    std::int16_t prefix;
    const char* dcs_udl;
    std::string user_data;
  } const cases[] = {
      {"Hi", 8, 0, "0408", "4869"},
      {"\u00E4\u20AC", 8, -1, "0408", "E480"},  // the prefix is for UCS2 only
      {std::string(134, 'a'), 8, 0, "048C", Repeat("61", 134)},
      {"AH", 16, 0, "080A", "00410048"},
      {"A", 16, -1, "080A", "00010041"},
      {"A", 16, 1, "080A", "00010041"},  // any non-zero value asks for the prefix
      {std::string(67, 'a'), 16, 0, "088C", Repeat("0061", 67)},
      {std::string(66, 'a'), 16, -1, "088C", "0001" + Repeat("0061", 66)},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(BuildSubmitPDU("+15550100", c.text, 1, 1, 1, c.coding, "", 0, c.prefix)) << c.text;
    EXPECT_EQ(PDUString,
              std::string("006100089151551000") + "00" + c.dcs_udl + "050003010101" + c.user_data)
        << c.text;
    EXPECT_EQ(PDULength, 11 + 6 + c.user_data.size() / 2) << c.text;
  }
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
      {"empty destination", "", "abc", 1, 1, 1, 7, "", 0},
      {"plus alone", "+", "abc", 1, 1, 1, 7, "", 0},
      {"two plus signs", "++1555", "abc", 1, 1, 1, 7, "", 0},
      {"hyphen", "012-5550147", "abc", 1, 1, 1, 7, "", 0},
      {"letter", "1555a", "abc", 1, 1, 1, 7, "", 0},
      {"command smuggled in the number", "1\x1A\r\nAT+CMGD=1", "abc", 1, 1, 1, 7, "", 0},
      {"21 digits", std::string(21, '1'), "abc", 1, 1, 1, 7, "", 0},
      {"service centre letters", n, "abc", 1, 1, 1, 7, "abc", 0},
      {"service centre quotes only", n, "abc", 1, 1, 1, 7, "\"\"", 0},
      {"service centre plus only", n, "abc", 1, 1, 1, 7, "\"+\"", 0},
      {"service centre hyphen", n, "abc", 1, 1, 1, 7, "+1555-0199", 0},
      {"service centre 21 digits", n, "abc", 1, 1, 1, 7, std::string(21, '9'), 0},
      {"8-bit 135 characters", n, std::string(135, 'a'), 1, 1, 1, 8, "", 0},
      {"UCS2 68 characters", n, std::string(68, 'a'), 1, 1, 1, 16, "", 0},
      {"UCS2 67 characters and prefix", n, std::string(67, 'a'), 1, 1, 1, 16, "", -1},
      {"UCS2 71 characters", n, std::string(71, 'a'), 1, 1, 1, 16, "", 0},
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
  int number = 0;
  try {
    BuildSubmitPDU("+15550100", "abc", 1, 1, 1, 16, "", 0, 0);
  } catch (const RuntimeError& e) {
    number = e.number();
  }
  EXPECT_EQ(number, err::kFileNotFound);
  EXPECT_EQ(PDUString, kExample1);
  EXPECT_EQ(PDULength, 20);
  // Limits are checked before the file is needed.
  EXPECT_FALSE(BuildSubmitPDU("+15550100", std::string(71, 'a'), 1, 1, 1, 16, "", 0, 0));
}

}  // namespace
}  // namespace selvarn::PDU6
