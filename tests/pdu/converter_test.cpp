// PDUConverter: what the single-message sends and the reader see of the PDU core.
#include "pdu/msisdn.hpp"
#include "pdu/pdu_converter.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "selvarn/error.hpp"
#include "vectors.hpp"

namespace selvarn::pdu {
namespace {

using testing::Hex;

// The description of the error `call` throws, "" when it throws none.
std::string ErrorOf(PDUConverter& c, void (PDUConverter::*call)()) {
  try {
    (c.*call)();
  } catch (const RuntimeError& e) {
    return std::to_string(e.number()) + " " + e.description();
  }
  return "";
}

// Everything Decode leaves: SMSCNumber|PhoneNumber|TimeStamp|Text|DataCoding|Concat|Class.
std::string Outputs(const PDUConverter& c) {
  std::string out = c.SMSCNumber() + "|" + c.PhoneNumber() + "|" + c.TimeStamp() + "|" + c.Text() +
                    "|" + std::to_string(c.DataCoding()) + "|";
  if (const auto& p = c.Concat()) {
    out += std::to_string(p->reference) + (p->sixteen_bit ? "w " : " ") +
           std::to_string(p->sequence) + "/" + std::to_string(p->total);
  }
  return out + "|" + (c.Class() ? std::to_string(static_cast<int>(*c.Class())) : "");
}

TEST(Converter, DecodeLeavesEveryOutput) {
  const std::string oa = "00 04 0B911346610089F6 00 ";
  const std::string hi = "|+31641600986|24/05/12,16:00:00";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"07917283010010f5040bc87238880900f10000993092516195800ae8329bfd4697d9ec37",
       "+27381000015|27838890001|99/03/29,15:16:59+08|hellohello|0||"},
      {"00 04 0DD049B7F93D6D4E01 00 00 42502161000080 00", "|InfoSMS|24/05/12,16:00:00+08||0||"},
      {"00 44 0B911346610089F6 00 08 42502161000080 12 050003CC0202 041F04400438043204350442",
       hi + "+08|Привет|8|204 2/2|"},
      {"00 44 0B911346610089F6 00 F1 42502161000080 0E 060804ABCD0301 D0F0B90C9A01",
       hi + "+08|Page 3|0|43981w 1/3|1"},
      // A concatenation element out of range is ignored: a single message.
      {"00 44 0B911346610089F6 00 00 42502161000080 09 050003CC0203 9069", hi + "+08|Hi|0||"},
      // Each data coding group, and each shape of the time-zone octet.
      {oa + "10 42502161000000 02C834", hi + "+00|Hi|0||0"},
      {oa + "40 42502161000008 02C834", hi + "-00|Hi|0||"},  // automatic deletion
      {oa + "F2 4250216100004A 02C834", hi + "-24|Hi|0||2"},
      {oa + "D8 42502161000069 02C834", hi + "-16|Hi|0||"},  // waiting, store
      {oa + "B3 42502161000017 02C834", hi + "+71|Hi|0||"},  // reserved group
      // Reserved alphabets of the general group read as the default alphabet.
      {oa + "0C 42502161000080 02C834", hi + "+08|Hi|0||"},
      {oa + "1D 42502161000080 02C834", hi + "+08|Hi|0||1"},
      // 80 and C9 read as Windows-1252: the euro sign and E acute.
      {oa + "04 42502161000080 034880C9", hi + "+08|H\xE2\x82\xAC\xC3\x89|4||"},
      {oa + "F7 42502161000080 0348692E", hi + "+08|Hi.|4||3"},
      {oa + "48 42502161000080 0400480069", hi + "+08|Hi|8||"},
      {oa + "E0 42502161000080 0400480069", hi + "+08|Hi|8||"},  // waiting, UCS2
      {oa + "08 42502161000080 06 D83DDE000021", hi + "+08|\xF0\x9F\x98\x80!|8||"},
  };
  for (const auto& [pdu, outputs] : cases) {
    PDUConverter c;
    c.PDU(Hex(pdu));
    c.Decode();
    EXPECT_EQ(Outputs(c), outputs) << pdu;
  }
}

TEST(Converter, MalformedNamesTheFieldAndKeepsTheOutputs) {
  const std::string head = "00 04 0B911346610089F6 00 ";  // to TP-DCS
  const std::string udh = "00 44 0B911346610089F6 00 ";
  const std::string scts = " 42502161000080 ";
  const std::vector<std::pair<std::string, const char*>> cases = {
      {"", "empty"},
      {"07911326040000F0040", "odd number of hex digits"},
      {head + "00" + scts + "02C8g4", "not a hex digit at position 43"},
      {head + "00" + scts + "02C80:", "not a hex digit at position 44"},
      {"07911326040000F0", "cannot read the first octet"},
      {"00 11 00 0B911346610089F6 00 00 AA 00", "TP-MTI 1"},
      {"00 04 0B91134661", "cannot read TP-OA ("},
      {head + "00" + scts + "0A E8329BFD4697D9EC", "cannot read TP-UD ("},
      {head + "08" + scts + "03 004800", "odd"},
      {head + "20" + scts + "02C834", "TP-DCS 20 announces compressed"},
      {udh + "00" + scts + "00", "cannot read TP-UDHL"},
      // Five header octets are 40 bits: six septets, more than TP-UDL 5.
      {udh + "00" + scts + "05 040003CC02", "TP-UDH ("},
      {udh + "08" + scts + "04 0500030102", "TP-UDH ("},
  };
  for (const auto& [pdu, says] : cases) {
    PDUConverter c;
    c.PDU("07911326040000F0040B911346610089F600F1208062917314080CC8F71D14969741F977FD07");
    c.Decode();
    const std::string before = Outputs(c);
    c.PDU(Hex(pdu));
    const std::string error = ErrorOf(c, &PDUConverter::Decode);
    EXPECT_TRUE(error.starts_with("5 ") && error.find(says) != std::string::npos)
        << pdu << ": " << error;
    EXPECT_EQ(Outputs(c), before) << pdu;
  }
}

// Worked octet by octet: 00 no service centre | 11 SMS-SUBMIT, relative validity |
// 00 TP-MR | digit count, type, swapped digits | 00 TP-PID | TP-DCS | AA 4 days | UDL, UD.
// A refused text leaves the PDU as it was.
TEST(Converter, EncodeBuildsOneMessageOrRefuses) {
  const auto repeat = [](const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
  };
  struct Case {
    std::string number;
    std::string text;
    int coding;
    std::string result;  // the PDU, or what the error says
  } const cases[] = {
      {"+31641600986", "How are you?", 0,
       "00 11 00 0B 91 1346610089F6 00 00 AA 0C C8F71D14969741F977FD07"},
      {"0123", "hi", 8, "00 11 00 04 81 1032 00 08 AA 04 00680069"},
      {"12345", "", 0, "00 11 00 05 81 2143F5 00 00 AA 00"},
      // Euro: escape 1B then 65; 1B | 65<<7 = 9B, 65>>1 = 32.
      {"+1", "\xE2\x82\xAC", 0, "00 11 00 01 91 F1 00 00 AA 02 9B32"},
      {"+1", "\xF0\x9F\x98\x80", 8, "00 11 00 01 91 F1 00 08 AA 04 D83DDE00"},
      {"1", "12345678", 0, "00 11 00 01 81 F1 00 00 AA 08 31D98C56B3DD70"},  // 8 in 7 octets
      {"1", std::string(160, 'a'), 0, "0011000181F10000AAA0" + repeat("E170381C0E87C3", 20)},
      {"1", std::string(70, 'a'), 8, "0011000181F10008AA8C" + repeat("0061", 70)},
      {"1", std::string(161, 'a'), 0, "161 septets"},
      {"1", std::string(159, 'a') + "\xE2\x82\xAC", 0, "161 septets"},
      {"1", std::string(69, 'a') + "\xF0\x9F\x98\x80", 8, "71 UTF-16 units"},
      {"+", "hi", 0, "no digits"},
      {"12 34", "hi", 8, "only digits"},
      {std::string(21, '1'), "hi", 0, "at most 20"},
      {"123", "hi", 4, "DataCoding 4"},
  };
  for (const Case& k : cases) {
    PDUConverter c;
    c.PDU("previous");
    c.PhoneNumber(k.number);
    c.Text(k.text);
    c.DataCoding(k.coding);
    const std::string error = ErrorOf(c, &PDUConverter::Encode);
    if (k.result.starts_with("00")) {
      EXPECT_EQ(error, "") << k.number;
      EXPECT_EQ(c.PDU(), Hex(k.result)) << k.number << " / " << k.text;
    } else {
      EXPECT_TRUE(error.starts_with("5 ") && error.find(k.result) != std::string::npos) << error;
      EXPECT_EQ(c.PDU(), "previous") << k.number;
    }
  }
}

TEST(NormaliseMSISDN, DropsPlusAndHyphenAndPrefixesLocalMobiles) {
  const std::pair<const char*, const char*> cases[] = {
      {"012-5550147", "60125550147"},
      {"+0125550147", "60125550147"},  // plus before the test
      {"0-1-2", "6012"},
      {"0060125550147", "0060125550147"},
      {" 0125", " 0125"},  // nothing else is removed
      {"01", "601"},
      {"0", "0"},
      {"12+34-56", "123456"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(MSISDN::NormaliseMSISDN(in), out) << in;
}

}  // namespace
}  // namespace selvarn::pdu
