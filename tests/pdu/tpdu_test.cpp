// The PDU core: named vectors of the three TPDUs with every field stated and the
// re-encoding compared to the original, the concatenation element, and malformed input
// named by the field that could not be read.
#include <gtest/gtest.h>

#include <span>
#include <string>

#include "pdu/tpdu.hpp"
#include "support/errors.hpp"
#include "vectors.hpp"

namespace selvarn::pdu {
namespace {

using testing::Hex;

struct Vector {
  const char* name;
  const char* pdu;
  const char* fields;
  const char* reencoded = nullptr;  // when the encoder writes it differently
};

template <typename Tpdu>
void CheckVectors(std::span<const Vector> vectors) {
  for (const Vector& v : vectors) {
    const auto p = Pdu<Tpdu>::FromHex(Hex(v.pdu));
    EXPECT_EQ(testing::Describe(p), v.fields) << v.name;
    EXPECT_EQ(p.ToHex(), Hex(v.reencoded != nullptr ? v.reencoded : v.pdu)) << v.name;
  }
}

// A published SMS-DELIVER example, and vectors assembled field by field from TS 23.040.
TEST(Tpdu, DeliverVectors) {
  const Vector vectors[] = {
      // Subscriber number (C8); zone 80 is +08 quarter hours.
      {"hellohello",
       "07917283010010F5 04 0BC87238880900F1 00 00 99309251619580 0A E8329BFD4697D9EC37",
       "91:27381000015 [] C8:27838890001 pid00 dcs00 99/03/29,15:16:59+08 \"hellohello\""},
      {"alphanumeric_sender", "00 04 0DD049B7F93D6D4E01 00 00 42502161000080 00",
       "- [] D0:InfoSMS pid00 dcs00 24/05/12,16:00:00+08 \"\""},
      {"alphanumeric_eleven", "00 04 14D041E19058341E9149E512 00 00 42502161000080 00",
       "- [] D0:ABCDEFGHIJK pid00 dcs00 24/05/12,16:00:00+08 \"\""},
      // Six header octets and one fill bit: the text starts at septet 7.
      {"concatenated_7bit_fill_bit",
       "00 44 0B911346610089F6 00 00 42502161000080 12 050003CC0201 906536FB0DBABFE56C32",
       "- [] 91:31641600986 pid00 dcs00 24/05/12,16:00:00+08 udh 0003CC0201 part 204/1 of 2 "
       "\"Hello world\""},
      // 16-bit reference: seven header octets fill exactly eight septets, no fill bits.
      {"concatenated_7bit_no_fill",
       "00 44 0B911346610089F6 00 00 42502161000080 0E 060804ABCD0301 D0F0B90C9A01",
       "- [] 91:31641600986 pid00 dcs00 24/05/12,16:00:00+08 udh 0804ABCD0301 part 43981/1 of "
       "3w \"Page 3\""},
      {"concatenated_ucs2_more_waiting",
       "00 40 0B911346610089F6 00 08 42502161000080 12 050003CC0202 041F04400438043204350442",
       "- [M] 91:31641600986 pid00 dcs08 24/05/12,16:00:00+08 udh 0003CC0202 part 204/2 of 2 "
       "\"Привет\""},
      // Escape 65 is the euro sign; escape 41 has no extension, so "A"; escape escape a
      // space; a trailing escape its default rendering, the no-break space.
      {"7bit_escapes", "00 04 0B911346610089F6 00 00 42502161000080 08 9BF226B8D90437",
       "- [] 91:31641600986 pid00 dcs00 24/05/12,16:00:00+08 \"\xE2\x82\xAC"
       "A A\xC2\xA0\""},
      {"every_flag_class_0", "00 AC 0381A1F3 7F F0 42502161000080 02 C834",
       "- [LSR] 81:1*3 pid7F dcsF0 24/05/12,16:00:00+08 \"Hi\""},
  };
  CheckVectors<DeliverTpdu>(vectors);
}

TEST(Tpdu, SubmitVectors) {
  const Vector vectors[] = {
      {"long_part", "00 61 00 0891 51551000 00 00 0A 050003010101 C2E231",
       "- [S] 91:15550100 mr00 pid00 dcs00 vp udh 0003010101 part 1/1 of 1 \"abc\""},
      {"service_centre_and_validity",
       "05915155109971 00 0781550501F0 00 00 A7 09 050003FF0202 D069",
       "91:15550199 [S] 81:5550100 mr00 pid00 dcs00 vpA7 udh 0003FF0202 part 255/2 of 2 \"hi\""},
      {"single_message", "00 11 00 0B911346610089F6 00 00 AA 0C C8F71D14969741F977FD07",
       "- [] 91:31641600986 mr00 pid00 dcs00 vpAA \"How are you?\""},
      {"absolute_validity_every_flag",
       "00 FD 10 04812143 00 08 42502161000080 0B 060804ABCD0301 00480069",
       "- [SRD] 81:1234 mr10 pid00 dcs08 vp42502161000080 udh 0804ABCD0301 part 43981/1 of 3w "
       "\"Hi\""},
      {"enhanced_validity", "00 09 00 0181F1 00 00 01020304050607 01 31",
       "- [] 81:1 mr00 pid00 dcs00 vp01020304050607 \"1\""},
      // A header alone still takes the octet its fill bit starts.
      {"header_without_text", "00 41 00 0181F1 00 00 07 050003010101 00",
       "- [] 81:1 mr00 pid00 dcs00 vp udh 0003010101 part 1/1 of 1 \"\""},
  };
  CheckVectors<SubmitTpdu>(vectors);
}

TEST(Tpdu, StatusReportVectors) {
#define TIMES " 42502161000080 42502161000080 "
#define STAMPS " 24/05/12,16:00:00+08 24/05/12,16:00:00+08"
  const Vector vectors[] = {
      {"delivered", "07911326040000F0 06 2A 0B911346610089F6 42502161000080 42502161000280 00",
       "91:31624000000 [] 91:31641600986 mr2A 24/05/12,16:00:00+08 24/05/12,16:00:20+08 st00 "
       "group00"},
      {"failed_with_text",
       "00 22 07 0A811032547698 42502161000080 42502161001280 46 07 00 00 02 C834",
       "- [MS] 81:0123456789 mr07 24/05/12,16:00:00+08 24/05/12,16:00:21+08 st46 group02 pid00 "
       "dcs00 \"Hi\""},
      // An extended TP-PI: its further octets are skipped; an empty one announces nothing.
      {"parameter_indicator_extended", "00 06 01 0181F1" TIMES "60 86 7F 00 02 C834",
       "- [] 81:1 mr01" STAMPS " st60 group03 dcs00 \"Hi\"",
       "00 06 01 0181F1" TIMES "60 06 00 02 C834"},
      {"parameter_indicator_empty", "00 06 01 0181F1" TIMES "80 00",
       "- [] 81:1 mr01" STAMPS " st80 group04", "00 06 01 0181F1" TIMES "80"},
      {"still_trying_dcs_only", "00 0E FF 038121F3" TIMES "30 02 08",
       "- [L] 81:123 mrFF" STAMPS " st30 group01 dcs08"},
  };
#undef TIMES
#undef STAMPS
  CheckVectors<StatusReportTpdu>(vectors);
  const int groups[][2] = {{0x1F, 0}, {0x20, 1}, {0x5F, 2}, {0x60, 3}, {0x7F, 3}, {0xFF, 4}};
  for (const auto& g : groups) {
    EXPECT_EQ(static_cast<int>(GroupOf(static_cast<std::uint8_t>(g[0]))), g[1]) << g[0];
  }
}

TEST(Tpdu, ConcatenationElement) {
  struct Case {
    const char* header;
    const char* part;  // reference/sequence of total, w for 16-bit; "" for none
  } const cases[] = {
      {"0A0100 0003CC0201", "204/1 of 2"},        // after another element
      {"0003010201 0804000202 02", "2/2 of 2w"},  // the last usable one wins
      {"0003010201 0003020203", "1/1 of 2"},      // an unusable one is skipped
      {"0003CC0200", ""},                         // sequence 0
      {"0003CC0203", ""},                         // sequence above the total
      {"0003CC0000", ""},                         // total 0
      {"0002CC02", ""},                           // wrong length
      {"0803ABCD02", ""},
      {"0003CC02", ""},  // runs past the header
      {"", ""},
  };
  for (const Case& c : cases) {
    UserData ud;
    if (*c.header != '\0') ud.header = ParseHex(Hex(c.header));
    const auto found = FindConcatenation(ud);
    EXPECT_EQ(!found ? ""
                     : std::to_string(found->reference) + "/" + std::to_string(found->sequence) +
                           " of " + std::to_string(found->total) + (found->sixteen_bit ? "w" : ""),
              c.part)
        << c.header;
  }
}

TEST(Tpdu, MalformedInputNamesTheField) {
  const std::string times = " 42502161000080 42502161000080 ";
  const std::string report = "00 06 2A 0181F1" + times;
  struct Case {
    bool submit;  // else a status report
    std::string pdu;
    const char* says;
  } const cases[] = {
      {true, "00 04 0181F1 00 00", "TP-MTI 0 is not an SMS-SUBMIT"},
      {true, "00 01", "cannot read TP-MR (it needs octets 3 to 3, the PDU has 2)"},
      {true, "00 01 00 01", "cannot read TP-DA type of address"},
      {true, "00 11 00 0181F1 00 00", "cannot read TP-VP"},
      {true, "00 19 00 0181F1 00 00 010203", "cannot read TP-VP"},
      {true, "00 01 00 0181F1 00 00", "cannot read TP-UDL"},
      {false, "00 04 01 0181F1" + times + "00", "TP-MTI 0 is not an SMS-STATUS-REPORT"},
      {false, "00 06 2A 0181F1 42502161000080 425021", "cannot read TP-DT"},
      {false, report, "cannot read TP-ST"},
      {false, report + "00 01", "cannot read TP-PID"},
      {false, report + "00 80", "cannot read TP-PI"},
      {false, report + "00 04 05", "cannot read TP-UD ("},
  };
  for (const Case& c : cases) {
    try {
      if (c.submit) Pdu<SubmitTpdu>::FromHex(Hex(c.pdu));
      if (!c.submit) Pdu<StatusReportTpdu>::FromHex(Hex(c.pdu));
      ADD_FAILURE() << c.pdu << ": no error";
    } catch (const Malformed& e) {
      EXPECT_EQ(e.number(), err::kInvalidCall);
      EXPECT_NE(e.detail().find(c.says), std::string::npos) << c.pdu << ": " << e.detail();
    }
  }
}

TEST(Tpdu, EncodeRefusesWhatAMessageCannotCarry) {
  struct Case {
    TypeOfNumber type;
    std::string address;
    std::size_t septets;
    bool fits;
  } const cases[] = {
      {TypeOfNumber::kUnknown, std::string(20, '9'), 160, true},
      {TypeOfNumber::kUnknown, std::string(21, '9'), 1, false},
      {TypeOfNumber::kUnknown, "12-3", 1, false},
      {TypeOfNumber::kAlphanumeric, "ABCDEFGHIJK", 1, true},
      {TypeOfNumber::kAlphanumeric, "ABCDEFGHIJKL", 1, false},
      {TypeOfNumber::kUnknown, "1", 161, false},
  };
  for (const Case& c : cases) {
    SubmitTpdu t;
    t.destination.type = c.type;
    t.destination.value = c.address;
    t.user_data.body.assign(c.septets, 'a');
    std::vector<std::uint8_t> out;
    EXPECT_EQ(testing::ErrorNumberOf([&] { t.Encode(out); }), c.fits ? 0 : err::kInvalidCall)
        << c.address << " / " << c.septets;
  }
}

}  // namespace
}  // namespace selvarn::pdu
