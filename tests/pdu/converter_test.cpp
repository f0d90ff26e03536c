// PDUConverter: what the single-message sends and the reader see of the PDU core.
#include "pdu/pdu_converter.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pdu/tpdu.hpp"
#include "selvarn/error.hpp"
#include "vectors.hpp"

namespace selvarn::pdu {
namespace {

using testing::Hex;

void ExpectInvalid(PDUConverter& c, void (PDUConverter::*call)(), const std::string& says,
                   const std::string& name) {
  try {
    (c.*call)();
    ADD_FAILURE() << name << ": no error";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.number(), err::kInvalidCall) << name;
    EXPECT_NE(std::string(e.description()).find(says), std::string::npos)
        << name << ": " << e.description();
  }
}

// Everything Decode leaves, on one line: SMSCNumber | PhoneNumber | TimeStamp | Text |
// DataCoding | Concat | Class.
std::string Outputs(const PDUConverter& c) {
  std::string out = c.SMSCNumber() + "|" + c.PhoneNumber() + "|" + c.TimeStamp() + "|" + c.Text() +
                    "|" + std::to_string(c.DataCoding()) + "|";
  if (const auto& p = c.Concat()) {
    out += std::to_string(p->reference) + (p->sixteen_bit ? "w" : "") + " " +
           std::to_string(p->sequence) + "/" + std::to_string(p->total);
  }
  return out + "|" + (c.Class() ? std::to_string(static_cast<int>(*c.Class())) : "");
}

TEST(Converter, DecodeLeavesEveryOutput) {
  struct Case {
    const char* pdu;
    const char* outputs;
  } const cases[] = {
      {"07911326040000f0040b911346610089f60000208062917314080cc8f71d14969741f977fd07",
       "+31624000000|+31641600986|02/08/26,19:37:41-00|How are you?|0||"},
      {"07917283010010F5040BC87238880900F10000993092516195800AE8329BFD4697D9EC37",
       "+27381000015|27838890001|99/03/29,15:16:59+08|hellohello|0||"},
      {"00 04 0DD049B7F93D6D4E01 00 00 42502161000080 00", "|InfoSMS|24/05/12,16:00:00+08||0||"},
      {"00 44 0B911346610089F6 00 08 42502161000080 12 050003CC0202 041F04400438043204350442",
       "|+31641600986|24/05/12,16:00:00+08|Привет|8|204 2/2|"},
      {"00 44 0B911346610089F6 00 F1 42502161000080 0E 060804ABCD0301 D0F0B90C9A01",
       "|+31641600986|24/05/12,16:00:00+08|Page 3|0|43981w 1/3|1"},
      // A concatenation element out of range is ignored: the message reads as a single one.
      {"00 44 0B911346610089F6 00 00 42502161000080 09 050003CC0203 9069",
       "|+31641600986|24/05/12,16:00:00+08|Hi|0||"},
  };
  for (const Case& k : cases) {
    PDUConverter c;
    c.PDU(Hex(k.pdu));
    c.Decode();
    EXPECT_EQ(Outputs(c), k.outputs) << k.pdu;
  }
}

// One message under each data coding group, and each shape of the time-zone octet.
TEST(Converter, DecodeDataCodingAndTimeZone) {
  struct Case {
    const char* dcs_scts_ud;
    const char* text;
    int coding;
    const char* stamp;
  } const cases[] = {
      {"10 42502161000000 02C834", "Hi", 0, "24/05/12,16:00:00+00"},  // with a class
      {"40 42502161000008 02C834", "Hi", 0, "24/05/12,16:00:00-00"},  // automatic deletion
      {"F0 4250216100004A 02C834", "Hi", 0, "24/05/12,16:00:00-24"},
      {"C0 42502161000023 02C834", "Hi", 0, "24/05/12,16:00:00+32"},  // waiting, discard
      {"D8 42502161000069 02C834", "Hi", 0, "24/05/12,16:00:00-16"},  // waiting, store
      {"B3 42502161000017 02C834", "Hi", 0, "24/05/12,16:00:00+71"},  // reserved group
      // Reserved alphabets of the general group read as the default alphabet.
      {"0C 42502161000080 02C834", "Hi", 0, "24/05/12,16:00:00+08"},
      {"1C 42502161000080 02C834", "Hi", 0, "24/05/12,16:00:00+08"},
      // 80 and C9 read as Windows-1252: the euro sign and E acute.
      {"04 42502161000080 034880C9", "H\xE2\x82\xAC\xC3\x89", 4, "24/05/12,16:00:00+08"},
      {"F6 42502161000080 0348692E", "Hi.", 4, "24/05/12,16:00:00+08"},
      {"48 42502161000080 0400480069", "Hi", 8, "24/05/12,16:00:00+08"},
      {"E0 42502161000080 0400480069", "Hi", 8, "24/05/12,16:00:00+08"},  // waiting, UCS2
  };
  for (const Case& k : cases) {
    PDUConverter c;
    c.PDU(Hex(std::string("00 04 0B911346610089F6 00 ") + k.dcs_scts_ud));
    c.Decode();
    EXPECT_EQ(c.Text(), k.text) << k.dcs_scts_ud;
    EXPECT_EQ(c.DataCoding(), k.coding) << k.dcs_scts_ud;
    EXPECT_EQ(c.TimeStamp(), k.stamp) << k.dcs_scts_ud;
  }
}

TEST(Converter, MalformedNamesTheFieldAndKeepsTheOutputs) {
  const std::string head = "00 04 0B911346610089F6 00 ";  // to TP-DCS
  const std::string udh = "00 44 0B911346610089F6 00 ";
  const std::string scts = " 42502161000080 ";
  const std::vector<std::pair<std::string, const char*>> cases = {
      {"", "empty"},
      {"07911326040000F0040", "odd number of hex digits"},
      {head + "00" + scts + "02C8:4", "not a hex digit"},
      {"0A9113260400", "cannot read the service-centre address"},
      {"07911326040000F0", "cannot read the first octet"},
      {"00 11 00 0B911346610089F6 00 00 AA 00", "TP-MTI 1"},
      {"00 06 0B911346610089F6 00 00" + scts + "00", "TP-MTI 2"},
      {"00 04", "cannot read TP-OA length"},
      {"00 04 0B91134661", "cannot read TP-OA"},
      {"00 04 0B911346610089F6", "cannot read TP-PID"},
      {head, "cannot read TP-DCS"},
      {head + "00 425021", "cannot read TP-SCTS"},
      {head + "00" + scts, "cannot read TP-UDL"},
      {head + "00" + scts + "0A E8329BFD4697D9EC", "cannot read TP-UD ("},
      {head + "08" + scts + "04 004800", "cannot read TP-UD ("},
      {head + "08" + scts + "03 004800", "odd"},
      {head + "20" + scts + "02C834", "compressed"},
      {udh + "00" + scts + "00", "cannot read TP-UDHL"},
      {udh + "00" + scts + "05 0A0003CC02", "TP-UDH ("},
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
    ExpectInvalid(c, &PDUConverter::Decode, says, pdu);
    EXPECT_EQ(Outputs(c), before) << pdu;
  }
}

// Worked octet by octet: 00 no service centre | 11 SMS-SUBMIT, relative validity |
// 00 TP-MR | digit count, type, swapped digits | 00 TP-PID | TP-DCS | AA 4 days | UDL, UD.
TEST(Converter, EncodeExactPdus) {
  struct Case {
    const char* number;
    const char* text;
    int coding;
    const char* pdu;
  } const cases[] = {
      {"+31641600986", "How are you?", 0,
       "00 11 00 0B 91 1346610089F6 00 00 AA 0C C8F71D14969741F977FD07"},
      {"0123", "hi", 8, "00 11 00 04 81 1032 00 08 AA 04 00680069"},
      {"12345", "", 0, "00 11 00 05 81 2143F5 00 00 AA 00"},
      // Euro: escape 1B then 65; 1B | 65<<7 = 9B, 65>>1 = 32.
      {"+1", "\xE2\x82\xAC", 0, "00 11 00 01 91 F1 00 00 AA 02 9B32"},
      {"+1", "\xF0\x9F\x98\x80", 8, "00 11 00 01 91 F1 00 08 AA 04 D83DDE00"},
      {"1", "12345678", 0, "00 11 00 01 81 F1 00 00 AA 08 31D98C56B3DD70"},  // 8 in 7 octets
  };
  for (const auto& k : cases) {
    PDUConverter c;
    c.PhoneNumber(k.number);
    c.Text(k.text);
    c.DataCoding(k.coding);
    c.Encode();
    EXPECT_EQ(c.PDU(), Hex(k.pdu)) << k.number << " / " << k.text;
  }
}

TEST(Converter, EncodeRejectsWhatOneMessageCannotCarryAndKeepsThePdu) {
  std::string euro80;
  for (int i = 0; i < 80; ++i) euro80 += "\xE2\x82\xAC";
  struct Case {
    std::string number;
    std::string text;
    int coding;
    const char* says;  // nullptr: accepted
  } const cases[] = {
      {"123", std::string(160, 'a'), 0, nullptr},
      {"123", std::string(161, 'a'), 0, "161 septets"},
      {"123", euro80, 0, nullptr},
      {"123", std::string(159, 'a') + "\xE2\x82\xAC", 0, "161 septets"},
      {"123", std::string(70, 'a'), 8, nullptr},
      {"123", std::string(69, 'a') + "\xF0\x9F\x98\x80", 8, "71 UTF-16 units"},
      {"", "hi", 0, "no digits"},
      {"+", "hi", 0, "no digits"},
      {"12 34", "hi", 8, "only digits"},
      {"+" + std::string(20, '1'), "hi", 0, nullptr},
      {std::string(21, '1'), "hi", 0, "at most 20"},
      {"123", "hi", 4, "DataCoding 4"},
  };
  for (const Case& k : cases) {
    PDUConverter c;
    c.PDU("previous");
    c.PhoneNumber(k.number);
    c.Text(k.text);
    c.DataCoding(k.coding);
    const std::string name = k.number + " / " + k.text.substr(0, 8) + "...";
    if (k.says == nullptr) {
      c.Encode();
      EXPECT_EQ(c.PDU().substr(0, 4), "0011") << name;
    } else {
      ExpectInvalid(c, &PDUConverter::Encode, k.says, name);
      EXPECT_EQ(c.PDU(), "previous") << name;
    }
  }
}

// What Encode builds, delivered: the recipient's decode gives back text and number.
TEST(Converter, RoundTripsThroughTheRecipientsDecode) {
  struct Case {
    std::string number;
    std::string text;
    int coding;
  } const cases[] = {
      {"+31641600986", "5\xE2\x82\xAC [ok] {x} ~|^\\ \f", 0},
      {"0612345678",
       "@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞÆæßÉ "
       "!\"#¤%&'()*+,-./0123456789:;<=>?¡ABCDEFGHIJKLMNOPQRSTUVWXYZ"
       "ÄÖÑÜ§¿abcdefghijklmnopqrstuvwxyzäöñüà",
       0},
      {"1", "1234567", 0},
      {"+44", std::string(160, 'x'), 0},
      {"+8613800138000", "\xF0\x9F\x98\x80 При 中文 \xE2\x82\xAC", 8},
  };
  for (const Case& k : cases) {
    PDUConverter sender;
    sender.PhoneNumber(k.number);
    sender.Text(k.text);
    sender.DataCoding(k.coding);
    sender.Encode();
    const SubmitTpdu submit = Pdu<SubmitTpdu>::FromHex(sender.PDU()).tpdu;
    DeliverTpdu deliver;
    deliver.originator = submit.destination;
    deliver.dcs = submit.dcs;
    deliver.user_data = submit.user_data;
    PDUConverter recipient;
    recipient.PDU(Pdu<DeliverTpdu>{std::nullopt, deliver}.ToHex());
    recipient.Decode();
    EXPECT_EQ(recipient.Text(), k.text) << k.number;
    EXPECT_EQ(recipient.PhoneNumber(), k.number);
    EXPECT_EQ(recipient.DataCoding(), k.coding) << k.number;
  }
}

}  // namespace
}  // namespace selvarn::pdu
