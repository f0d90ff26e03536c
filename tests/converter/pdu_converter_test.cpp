#include "platform/pdu_converter.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "converter/deliver.hpp"
#include "selvarn/error.hpp"

namespace selvarn::platform {
namespace {

using selvarn::testing::SubmitToDeliver;

// Vectors are written with blanks between fields.
std::string Hex(const char* spaced) {
  std::string hex;
  for (const char* p = spaced; *p != '\0'; ++p) {
    if (*p != ' ') hex += *p;
  }
  return hex;
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

// Published SMS-DELIVER examples and vectors assembled field by field from TS 23.040.
const Delivered kDelivered[] = {
    // Zone octet 08: low nibble 1000, the sign bit set and a tens digit 0; high nibble 0.
    {"how_are_you", "07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07",
     "+31624000000", "+31641600986", "02/08/26,19:37:41-00", "How are you?", 0},
    {"how_are_you_lower_case",
     "07911326040000f0040b911346610089f60000208062917314080cc8f71d14969741f977fd07", "+31624000000",
     "+31641600986", "02/08/26,19:37:41-00", "How are you?", 0},
    // Originator type C8 (subscriber number): no "+"; zone 80 is +08 quarter hours.
    {"hellohello", "07917283010010F5040BC87238880900F10000993092516195800AE8329BFD4697D9EC37",
     "+27381000015", "27838890001", "99/03/29,15:16:59+08", "hellohello", 0},
    {"no_service_centre", "00040B911346610089F60000208062917314080CC8F71D14969741F977FD07", "",
     "+31641600986", "02/08/26,19:37:41-00", "How are you?", 0},
    {"alphanumeric_sender", "0004 0DD0 49B7F93D6D4E01 0000 42502161000080 00", "", "InfoSMS",
     "24/05/12,16:00:00+08", "", 0},
    {"alphanumeric_sender_eleven_letters", "0004 14D0 41E19058341E9149E512 0000 42502161000080 00",
     "", "ABCDEFGHIJK", "24/05/12,16:00:00+08", "", 0},
    // 0503 CC 02 01: 6 header octets, 1 fill bit, text from septet 7 on.
    {"concatenated_7bit_fill_bit",
     "0044 0B911346610089F6 0000 42502161000080 12 050003CC0201906536FB0DBABFE56C32", "",
     "+31641600986", "24/05/12,16:00:00+08", "Hello world", 0},
    // 16-bit reference: 7 header octets fill exactly 8 septets, no fill bits.
    {"concatenated_7bit_no_fill",
     "0044 0B911346610089F6 0000 42502161000080 0E 060804ABCD0301D0B09C0E9A01", "", "+31641600986",
     "24/05/12,16:00:00+08", "Part 3", 0},
    {"concatenated_ucs2",
     "0044 0B911346610089F6 0008 42502161000080 12 050003CC0202041F04400438043204350442", "",
     "+31641600986", "24/05/12,16:00:00+08", "Привет", 8},
    // U+1F600 as a surrogate pair, then "!".
    {"ucs2_outside_bmp", "0004 0B911346610089F6 0008 42502161000080 06 D83DDE000021", "",
     "+31641600986", "24/05/12,16:00:00+08", "\xF0\x9F\x98\x80!", 8},
    // Escape + 65 is the euro sign; escape + 41 has no extension, so the default "A";
    // escape + escape is shown as a space; a trailing escape as its default rendering.
    {"7bit_escapes", "0004 0B911346610089F6 0000 42502161000080 08 9BF226B8D90437", "",
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
  EXPECT_EQ(c.PDU(), Hex(d.pdu));
}

INSTANTIATE_TEST_SUITE_P(Vectors, DecodeDelivered, ::testing::ValuesIn(kDelivered),
                         [](const auto& info) { return std::string(info.param.name); });

// The same user data under each data coding scheme group.
TEST(Decode, DataCodingSchemes) {
  struct Case {
    const char* dcs;
    const char* ud;  // TP-UDL and TP-UD
    const char* text;
    int coding;
  };
  const Case cases[] = {
      {"00", "02C834", "Hi", 0},
      {"10", "02C834", "Hi", 0},                       // with a message class
      {"40", "02C834", "Hi", 0},                       // marked for automatic deletion
      {"F0", "02C834", "Hi", 0},                       // class 0, default alphabet
      {"C0", "02C834", "Hi", 0},                       // message waiting, discard
      {"D8", "02C834", "Hi", 0},                       // message waiting, store, indication active
      {"80", "02C834", "Hi", 0},                       // reserved group: default alphabet
      {"B3", "02C834", "Hi", 0},                       // reserved group: default alphabet
      {"04", "034880C9", "H\xE2\x82\xAC\xC3\x89", 4},  // 80 and C9 as Windows-1252: euro, E-acute
      {"F6", "0348692E", "Hi.", 4},                    // class 2, 8-bit
      {"44", "0248FF", "H\xC3\xBF", 4},
      {"08", "0400480069", "Hi", 8},
      {"18", "0400480069", "Hi", 8},
      {"48", "0400480069", "Hi", 8},
      {"E0", "0400480069", "Hi", 8},  // message waiting, store, UCS2
  };
  for (const Case& k : cases) {
    PDUConverter c;
    c.PDU(std::string("00040B911346610089F600") + k.dcs + "42502161000080" + k.ud);
    c.Decode();
    EXPECT_EQ(c.Text(), k.text) << "TP-DCS " << k.dcs;
    EXPECT_EQ(c.DataCoding(), k.coding) << "TP-DCS " << k.dcs;
  }
}

TEST(Decode, TimeZoneOctet) {
  struct Case {
    const char* octet;
    const char* zone;
  };
  const Case cases[] = {
      {"00", "+00"}, {"08", "-00"}, {"80", "+08"}, {"4A", "-24"},
      {"23", "+32"}, {"69", "-16"}, {"99", "-19"}, {"17", "+71"},
  };
  for (const Case& k : cases) {
    PDUConverter c;
    c.PDU(std::string("00040B911346610089F60000") + "425021610000" + k.octet + "00");
    c.Decode();
    EXPECT_EQ(c.TimeStamp(), std::string("24/05/12,16:00:00") + k.zone) << "zone " << k.octet;
  }
}

TEST(Decode, MalformedIsRuntimeErrorNamingTheFieldAndKeepsOutputs) {
  struct Case {
    const char* name;
    std::string pdu;
    const char* says;
  };
  const std::string oa = "0B911346610089F6";
  const std::string scts = "42502161000080";
  const std::vector<Case> cases = {
      {"empty", "", "empty"},
      {"odd_length", "07911326040000F0040", "odd number of hex digits"},
      {"blank", "0004" + oa + "0000" + scts + "02C8 4", "not a hex digit"},
      {"non_ascii", "0004" + oa + "0000" + scts + "02C8\xC3\xA4", "not a hex digit"},
      {"service_centre_past_end", "0A9113260400", "cannot read the service-centre address"},
      {"service_centre_only", "07911326040000F0", "cannot read the first octet"},
      {"sms_submit", "0011000B911346610089F60000AA00", "TP-MTI 1"},
      {"status_report", "0006" + oa + "0000" + scts + "00", "TP-MTI 2"},
      {"no_originator", "0004", "cannot read TP-OA length"},
      {"originator_past_end", "00040B91134661", "cannot read TP-OA"},
      {"alphanumeric_past_end", "000414D041E190", "cannot read TP-OA"},
      {"no_pid", "0004" + oa, "cannot read TP-PID"},
      {"no_dcs", "0004" + oa + "00", "cannot read TP-DCS"},
      {"short_time_stamp", "0004" + oa + "0000" + "425021", "cannot read TP-SCTS"},
      {"no_udl", "0004" + oa + "0000" + scts, "cannot read TP-UDL"},
      {"7bit_data_short", "0004" + oa + "0000" + scts + "0AE8329BFD4697D9EC", "cannot read TP-UD"},
      {"ucs2_data_short", "0004" + oa + "0008" + scts + "04" + "004800", "cannot read TP-UD"},
      {"udl_past_end_8bit", "0004" + oa + "0004" + scts + "FF48", "cannot read TP-UD"},
      {"ucs2_odd", "0004" + oa + "0008" + scts + "03004800", "odd"},
      {"reserved_alphabet", "0004" + oa + "000C" + scts + "02C834", "reserved alphabet"},
      {"reserved_alphabet_class", "0004" + oa + "001F" + scts + "02C834", "reserved alphabet"},
      {"compressed", "0004" + oa + "0020" + scts + "02C834", "compressed"},
      {"header_flag_no_data", "0044" + oa + "0000" + scts + "00", "cannot read TP-UDHL"},
      {"header_flag_no_data_ucs2", "0044" + oa + "0008" + scts + "00", "cannot read TP-UDHL"},
      {"header_past_udl_7bit", "0044" + oa + "0000" + scts + "05" + "0A0003CC02", "TP-UDH"},
      // 5 header octets = 40 bits = 6 septets, more than TP-UDL 5.
      {"header_septets_past_udl", "0044" + oa + "0000" + scts + "05" + "040003CC02", "TP-UDH"},
      {"header_past_udl_ucs2", "0044" + oa + "0008" + scts + "04" + "0500030102", "TP-UDH"},
  };
  for (const Case& k : cases) {
    PDUConverter c;
    c.PDU(Hex(kDelivered[0].pdu));
    c.Decode();
    c.PDU(k.pdu);
    try {
      c.Decode();
      ADD_FAILURE() << k.name << ": decoded without an error";
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.number(), err::kInvalidCall) << k.name;
      EXPECT_NE(std::string(e.description()).find(k.says), std::string::npos)
          << k.name << ": " << e.description();
    }
    EXPECT_EQ(c.SMSCNumber(), kDelivered[0].smsc) << k.name;
    EXPECT_EQ(c.PhoneNumber(), kDelivered[0].number) << k.name;
    EXPECT_EQ(c.TimeStamp(), kDelivered[0].stamp) << k.name;
    EXPECT_EQ(c.Text(), kDelivered[0].text) << k.name;
    EXPECT_EQ(c.DataCoding(), 0) << k.name;
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
       "00 11 00 0B 91 1346610089F6 00 00 AA 0C C8F71D14969741F977FD07"},
      {"0123", "hi", 8, "00 11 00 04 81 1032 00 08 AA 04 00680069"},
      {"12345", "", 0, "00 11 00 05 81 2143F5 00 00 AA 00"},
      // Euro: escape 1B then 65; 1B | 65<<7 = 9B, 65>>1 = 32.
      {"+1", "\xE2\x82\xAC", 0, "00 11 00 01 91 F1 00 00 AA 02 9B32"},
      // Neither a-ogonek nor an emoji is in the alphabet: one "?" (3F) each.
      {"+1", "\xC4\x85", 0, "00 11 00 01 91 F1 00 00 AA 01 3F"},
      {"+1", "\xF0\x9F\x98\x80", 0, "00 11 00 01 91 F1 00 00 AA 01 3F"},
      {"+1", "\xF0\x9F\x98\x80", 8, "00 11 00 01 91 F1 00 08 AA 04 D83DDE00"},
      // Eight septets fill seven octets exactly: "12345678".
      {"1", "12345678", 0, "00 11 00 01 81 F1 00 00 AA 08 31D98C56B3DD70"},
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

TEST(Encode, RejectsWhatOneMessageCannotCarryAndKeepsPdu) {
  struct Case {
    const char* name;
    std::string number;
    std::string text;
    int coding;
    const char* says;  // nullptr: accepted
  };
  std::string euro80;
  for (int i = 0; i < 80; ++i) euro80 += "\xE2\x82\xAC";
  const std::string emoji = "\xF0\x9F\x98\x80";
  const std::vector<Case> cases = {
      {"160_septets", "123", std::string(160, 'a'), 0, nullptr},
      {"161_septets", "123", std::string(161, 'a'), 0, "161 septets"},
      {"80_extension_characters", "123", euro80, 0, nullptr},
      {"159_plus_extension", "123", std::string(159, 'a') + "\xE2\x82\xAC", 0, "161 septets"},
      {"70_units", "123", std::string(70, 'a'), 8, nullptr},
      {"71_units", "123", std::string(71, 'a'), 8, "71 UTF-16 units"},
      {"69_plus_surrogate_pair", "123", std::string(69, 'a') + emoji, 8, "71 UTF-16 units"},
      {"empty_number", "", "hi", 0, "no digits"},
      {"plus_only", "+", "hi", 0, "no digits"},
      {"letter", "12a4", "hi", 0, "only digits"},
      {"second_plus", "+-123", "hi", 0, "only digits"},
      {"blank", "12 34", "hi", 8, "only digits"},
      {"21_digits", std::string(21, '1'), "hi", 0, "at most 20"},
      {"20_digits", "+" + std::string(20, '1'), "hi", 0, nullptr},
      {"coding_4", "123", "hi", 4, "DataCoding 4"},
      {"coding_7", "123", "hi", 7, "DataCoding 7"},
      {"coding_negative", "123", "hi", -1, "DataCoding -1"},
      {"coding_16", "123", "hi", 16, "DataCoding 16"},
  };
  for (const Case& k : cases) {
    PDUConverter c;
    c.PDU("previous");
    c.PhoneNumber(k.number);
    c.Text(k.text);
    c.DataCoding(k.coding);
    if (k.says == nullptr) {
      EXPECT_NO_THROW(c.Encode()) << k.name;
      EXPECT_EQ(c.PDU().substr(0, 4), "0011") << k.name;
      continue;
    }
    try {
      c.Encode();
      ADD_FAILURE() << k.name << ": encoded " << c.PDU();
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.number(), err::kInvalidCall) << k.name;
      EXPECT_NE(std::string(e.description()).find(k.says), std::string::npos)
          << k.name << ": " << e.description();
    }
    EXPECT_EQ(c.PDU(), "previous") << k.name;
  }
}

TEST(Encode, RoundTripsThroughTheRecipientsDecode) {
  struct Case {
    const char* name;
    std::string number;
    std::string text;
    int coding;
  };
  const std::string all_basic =
      "@\xC2\xA3$\xC2\xA5\xC3\xA8\xC3\xA9\xC3\xB9\xC3\xAC\xC3\xB2\xC3\x87\n\xC3\x98\xC3\xB8\r"
      "\xC3\x85\xC3\xA5\xCE\x94_\xCE\xA6\xCE\x93\xCE\x9B\xCE\xA9\xCE\xA0\xCE\xA8\xCE\xA3\xCE\x98"
      "\xCE\x9E\xC3\x86\xC3\xA6\xC3\x9F\xC3\x89 !\"#\xC2\xA4%&'()*+,-./0123456789:;<=>?"
      "\xC2\xA1"
      "ABCDEFGHIJKLMNOPQRSTUVWXYZ\xC3\x84\xC3\x96\xC3\x91\xC3\x9C\xC2\xA7\xC2\xBF"
      "abcdefghijklmnopqrstuvwxyz\xC3\xA4\xC3\xB6\xC3\xB1\xC3\xBC\xC3\xA0";
  const std::vector<Case> cases = {
      {"extension_table", "+31641600986", "5\xE2\x82\xAC [ok] {x} ~|^\\ \f", 0},
      {"whole_basic_alphabet", "0612345678", all_basic, 0},
      {"seven_septets", "1", "1234567", 0},
      {"160_septets", "+44", std::string(160, 'x'), 0},
      {"empty_7bit", "123", "", 0},
      {"ucs2_outside_bmp", "+8613800138000",
       "\xF0\x9F\x98\x80 \xD0\x9F\xD1\x80\xD0\xB8 \xE4\xB8\xAD\xE6\x96\x87 \xE2\x82\xAC", 8},
      {"ucs2_70_units", "+1", std::string(70, 'z'), 8},
      {"empty_ucs2", "123", "", 8},
  };
  for (const Case& k : cases) {
    PDUConverter sender;
    sender.PhoneNumber(k.number);
    sender.Text(k.text);
    sender.DataCoding(k.coding);
    sender.Encode();
    PDUConverter recipient;
    recipient.PDU(SubmitToDeliver(sender.PDU()));
    recipient.Decode();
    EXPECT_EQ(recipient.Text(), k.text) << k.name;
    EXPECT_EQ(recipient.PhoneNumber(), k.number) << k.name;
    EXPECT_EQ(recipient.DataCoding(), k.coding) << k.name;
    EXPECT_EQ(recipient.SMSCNumber(), "+31624000000") << k.name;
    EXPECT_EQ(recipient.TimeStamp(), "24/05/12,16:00:00+08") << k.name;
  }
}

}  // namespace
}  // namespace selvarn::platform
