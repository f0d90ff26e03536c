#include "pdu/pdu_converter.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "converter/deliver.hpp"
#include "selvarn/error.hpp"

namespace selvarn::pdu {
namespace {

// Vectors are written with blanks between fields.
std::string Hex(std::string spaced) {
  std::erase(spaced, ' ');
  return spaced;
}

void ExpectInvalid(const std::function<void()>& call, const std::string& says,
                   const std::string& name) {
  try {
    call();
    ADD_FAILURE() << name << ": no error";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.number(), err::kInvalidCall) << name;
    EXPECT_NE(std::string(e.description()).find(says), std::string::npos)
        << name << ": " << e.description();
  }
}

struct Delivered {
  const char* name;
  const char* pdu;
  const char* smsc;
  const char* number;
  const char* stamp;
  const char* text;
  int coding;
};

// Published SMS-DELIVER examples, and vectors assembled field by field from TS 23.040.
const Delivered kDelivered[] = {
    // Zone octet 08: low nibble 1000 is the sign bit and a tens digit 0; high nibble 0.
    {"how_are_you", "07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07",
     "+31624000000", "+31641600986", "02/08/26,19:37:41-00", "How are you?", 0},
    {"lower_case", "07911326040000f0040b911346610089f60000208062917314080cc8f71d14969741f977fd07",
     "+31624000000", "+31641600986", "02/08/26,19:37:41-00", "How are you?", 0},
    // Originator type C8 (subscriber number) has no "+"; zone 80 is +08 quarter hours.
    {"hellohello", "07917283010010F5040BC87238880900F10000993092516195800AE8329BFD4697D9EC37",
     "+27381000015", "27838890001", "99/03/29,15:16:59+08", "hellohello", 0},
    {"alphanumeric_sender", "00 04 0DD0 49B7F93D6D4E01 00 00 42502161000080 00", "", "InfoSMS",
     "24/05/12,16:00:00+08", "", 0},
    {"alphanumeric_eleven", "00 04 14D0 41E19058341E9149E512 00 00 42502161000080 00", "",
     "ABCDEFGHIJK", "24/05/12,16:00:00+08", "", 0},
    // 050003 CC 02 01: 6 header octets and 1 fill bit, text from septet 7 on.
    {"concatenated_7bit_fill_bit",
     "00 44 0B911346610089F6 00 00 42502161000080 12 050003CC0201 906536FB0DBABFE56C32", "",
     "+31641600986", "24/05/12,16:00:00+08", "Hello world", 0},
    // 16-bit reference: 7 header octets fill exactly 8 septets, no fill bits.
    {"concatenated_7bit_no_fill",
     "00 44 0B911346610089F6 00 00 42502161000080 0E 060804ABCD0301 D0F0B90C9A01", "",
     "+31641600986", "24/05/12,16:00:00+08", "Page 3", 0},
    {"concatenated_ucs2",
     "00 44 0B911346610089F6 00 08 42502161000080 12 050003CC0202 041F04400438043204350442", "",
     "+31641600986", "24/05/12,16:00:00+08", "Привет", 8},
    {"ucs2_outside_bmp", "00 04 0B911346610089F6 00 08 42502161000080 06 D83DDE000021", "",
     "+31641600986", "24/05/12,16:00:00+08", "\xF0\x9F\x98\x80!", 8},
    // Escape 65 is the euro sign; escape 41 has no extension, so the default "A"; escape
    // escape shows a space; a trailing escape its default rendering (no-break space).
    {"7bit_escapes", "00 04 0B911346610089F6 00 00 42502161000080 08 9BF226B8D90437", "",
     "+31641600986", "24/05/12,16:00:00+08",
     "\xE2\x82\xAC"
     "A A\xC2\xA0",
     0},
};

class DecodeDelivered : public ::testing::TestWithParam<Delivered> {};

TEST_P(DecodeDelivered, AllFields) {
  const Delivered& d = GetParam();
  PDUConverter c;
  c.PDU(Hex(d.pdu));
  c.Decode();
  EXPECT_EQ(c.SMSCNumber(), d.smsc);
  EXPECT_EQ(c.PhoneNumber(), d.number);
  EXPECT_EQ(c.TimeStamp(), d.stamp);
  EXPECT_EQ(c.Text(), d.text);
  EXPECT_EQ(c.DataCoding(), d.coding);
}

INSTANTIATE_TEST_SUITE_P(Vectors, DecodeDelivered, ::testing::ValuesIn(kDelivered),
                         [](const auto& info) { return std::string(info.param.name); });

// One message under each data coding group, and each shape of the time-zone octet.
TEST(Decode, DataCodingAndTimeZone) {
  struct Case {
    const char* dcs_scts_ud;
    const char* text;
    int coding;
    const char* stamp;
  };
  const Case cases[] = {
      {"10 42502161000000 02C834", "Hi", 0, "24/05/12,16:00:00+00"},  // with a class
      {"40 42502161000008 02C834", "Hi", 0, "24/05/12,16:00:00-00"},  // automatic deletion
      {"F0 4250216100004A 02C834", "Hi", 0, "24/05/12,16:00:00-24"},
      {"C0 42502161000023 02C834", "Hi", 0, "24/05/12,16:00:00+32"},  // waiting, discard
      {"D8 42502161000069 02C834", "Hi", 0, "24/05/12,16:00:00-16"},  // waiting, store
      {"B3 42502161000017 02C834", "Hi", 0, "24/05/12,16:00:00+71"},  // reserved group
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

TEST(Decode, MalformedNamesTheFieldAndKeepsTheOutputs) {
  struct Case {
    const char* name;
    std::string pdu;
    const char* says;
  };
  const std::string head = "00 04 0B911346610089F6 00 ";  // to TP-DCS
  const std::string udh = "00 44 0B911346610089F6 00 ";
  const std::string scts = " 42502161000080 ";
  const std::vector<Case> cases = {
      {"empty", "", "empty"},
      {"odd_length", "07911326040000F0040", "odd number of hex digits"},
      {"not_hex", head + "00" + scts + "02C8:4", "not a hex digit"},
      {"service_centre_past_end", "0A9113260400", "cannot read the service-centre address"},
      {"service_centre_only", "07911326040000F0", "cannot read the first octet"},
      {"sms_submit", "00 11 00 0B911346610089F6 00 00 AA 00", "TP-MTI 1"},
      {"status_report", "00 06 0B911346610089F6 00 00" + scts + "00", "TP-MTI 2"},
      {"no_originator", "00 04", "cannot read TP-OA length"},
      {"originator_past_end", "00 04 0B91134661", "cannot read TP-OA"},
      {"no_pid", "00 04 0B911346610089F6", "cannot read TP-PID"},
      {"no_dcs", head, "cannot read TP-DCS"},
      {"short_time_stamp", head + "00 425021", "cannot read TP-SCTS"},
      {"no_udl", head + "00" + scts, "cannot read TP-UDL"},
      {"7bit_data_short", head + "00" + scts + "0A E8329BFD4697D9EC", "cannot read TP-UD"},
      {"ucs2_data_short", head + "08" + scts + "04 004800", "cannot read TP-UD"},
      {"ucs2_odd", head + "08" + scts + "03 004800", "odd"},
      {"reserved_alphabet", head + "0C" + scts + "02C834", "reserved alphabet"},
      {"compressed", head + "20" + scts + "02C834", "compressed"},
      {"header_without_data", udh + "00" + scts + "00", "cannot read TP-UDHL"},
      {"header_past_udl_7bit", udh + "00" + scts + "05 0A0003CC02", "TP-UDH"},
      // 5 header octets are 40 bits: 6 septets, more than TP-UDL 5.
      {"header_septets_past_udl", udh + "00" + scts + "05 040003CC02", "TP-UDH"},
      {"header_past_udl_ucs2", udh + "08" + scts + "04 0500030102", "TP-UDH"},
  };
  for (const Case& k : cases) {
    PDUConverter c;
    c.PDU(Hex(kDelivered[0].pdu));
    c.Decode();
    c.PDU(Hex(k.pdu));
    ExpectInvalid([&] { c.Decode(); }, k.says, k.name);
    EXPECT_EQ(c.SMSCNumber() + c.PhoneNumber() + c.TimeStamp() + c.Text(),
              "+31624000000+3164160098602/08/26,19:37:41-00How are you?")
        << k.name;
  }
}

// Worked octet by octet: 00 no service centre | 11 SMS-SUBMIT, relative validity |
// 00 TP-MR | digit count, type, swapped digits | 00 TP-PID | TP-DCS | AA 4 days | UDL, UD.
TEST(Encode, ExactPdus) {
  struct Case {
    const char* number;
    const char* text;
    int coding;
    const char* pdu;
  };
  const Case cases[] = {
      {"+31641600986", "How are you?", 0,
       "00 11 00 0B 91 1346610089F6 00 00 AA 0C "
       "C8F71D14969741F977FD07"},
      {"0123", "hi", 8, "00 11 00 04 81 1032 00 08 AA 04 00680069"},
      {"12345", "", 0, "00 11 00 05 81 2143F5 00 00 AA 00"},
      // Euro: escape 1B then 65; 1B | 65<<7 = 9B, 65>>1 = 32.
      {"+1", "\xE2\x82\xAC", 0, "00 11 00 01 91 F1 00 00 AA 02 9B32"},
      // Neither a-ogonek nor an emoji is in the alphabet: one "?" (3F) each.
      {"+1", "\xC4\x85", 0, "00 11 00 01 91 F1 00 00 AA 01 3F"},
      {"+1", "\xF0\x9F\x98\x80", 0, "00 11 00 01 91 F1 00 00 AA 01 3F"},
      {"+1", "\xF0\x9F\x98\x80", 8, "00 11 00 01 91 F1 00 08 AA 04 D83DDE00"},
      {"1", "12345678", 0, "00 11 00 01 81 F1 00 00 AA 08 31D98C56B3DD70"},  // 8 in 7 octets
  };
  for (const Case& k : cases) {
    PDUConverter c;
    c.PhoneNumber(k.number);
    c.Text(k.text);
    c.DataCoding(k.coding);
    c.Encode();
    EXPECT_EQ(c.PDU(), Hex(k.pdu)) << k.number << " / " << k.text;
  }
}

TEST(Encode, RejectsWhatOneMessageCannotCarryAndKeepsThePdu) {
  struct Case {
    std::string number;
    std::string text;
    int coding;
    const char* says;  // nullptr: accepted
  };
  std::string euro80;
  for (int i = 0; i < 80; ++i) euro80 += "\xE2\x82\xAC";
  const std::vector<Case> cases = {
      {"123", std::string(160, 'a'), 0, nullptr},
      {"123", std::string(161, 'a'), 0, "161 septets"},
      {"123", euro80, 0, nullptr},
      {"123", std::string(159, 'a') + "\xE2\x82\xAC", 0, "161 septets"},
      {"123", std::string(70, 'a'), 8, nullptr},
      {"123", std::string(71, 'a'), 8, "71 UTF-16 units"},
      {"123", std::string(69, 'a') + "\xF0\x9F\x98\x80", 8, "71 UTF-16 units"},
      {"", "hi", 0, "no digits"},
      {"+", "hi", 0, "no digits"},
      {"12a4", "hi", 0, "only digits"},
      {"12 34", "hi", 8, "only digits"},
      {"+" + std::string(20, '1'), "hi", 0, nullptr},
      {std::string(21, '1'), "hi", 0, "at most 20"},
      {"123", "hi", 4, "DataCoding 4"},
      {"123", "hi", -1, "DataCoding -1"},
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
      ExpectInvalid([&] { c.Encode(); }, k.says, name);
      EXPECT_EQ(c.PDU(), "previous") << name;
    }
  }
}

TEST(Encode, RoundTripsThroughTheRecipientsDecode) {
  struct Case {
    std::string number;
    std::string text;
    int coding;
  };
  const std::vector<Case> cases = {
      {"+31641600986", "5\xE2\x82\xAC [ok] {x} ~|^\\ \f", 0},
      {"0612345678",
       "@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞÆæßÉ "
       "!\"#¤%&'()*+,-./0123456789:;<=>?¡ABCDEFGHIJKLMNOPQRSTUVWXYZ"
       "ÄÖÑÜ§¿abcdefghijklmnopqrstuvwxyzäöñüà",
       0},
      {"1", "1234567", 0},
      {"+44", std::string(160, 'x'), 0},
      {"123", "", 0},
      {"+8613800138000", "\xF0\x9F\x98\x80 При 中文 \xE2\x82\xAC", 8},
      {"+1", std::string(70, 'z'), 8},
  };
  for (const Case& k : cases) {
    PDUConverter sender;
    sender.PhoneNumber(k.number);
    sender.Text(k.text);
    sender.DataCoding(k.coding);
    sender.Encode();
    PDUConverter recipient;
    recipient.PDU(selvarn::testing::SubmitToDeliver(sender.PDU()));
    recipient.Decode();
    EXPECT_EQ(recipient.Text(), k.text) << k.number;
    EXPECT_EQ(recipient.PhoneNumber(), k.number);
    EXPECT_EQ(recipient.DataCoding(), k.coding) << k.number;
  }
}

}  // namespace
}  // namespace selvarn::pdu
