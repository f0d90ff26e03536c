// The PDU core and PDUConverter, the adapter the single-message sends and the reader use:
// SMS-DELIVER through the converter's table, SMS-SUBMIT and status reports decoded and
// re-encoded octet for octet, malformed input named by the field that could not be read.
#include "pdu/number.hpp"
#include "pdu/pdu_converter.hpp"
#include "pdu/tpdu.hpp"

#include <gtest/gtest.h>

#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "selvarn/error.hpp"
#include "support/errors.hpp"
#include "vectors.hpp"

namespace selvarn::pdu {
namespace {

using testing::Hex;

// The number and description of the error `call` throws, "" when it throws none.
template <typename F>
std::string ErrorOf(F&& call) {
  try {
    call();
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
      // A published example: subscriber number (C8), zone 80 is +08 quarter hours.
      {"07917283010010F5040BC87238880900F10000993092516195800AE8329BFD4697D9EC37",
       "+27381000015|27838890001|99/03/29,15:16:59+08|hellohello|0||"},
      {"00 04 0DD049B7F93D6D4E01 00 00 42502161000080 00", "|InfoSMS|24/05/12,16:00:00+08||0||"},
      {"00 04 14D041E19058341E9149E512 00 00 42502161000080 00",
       "|ABCDEFGHIJK|24/05/12,16:00:00+08||0||"},
      // Every flag set, a '*' among the digits.
      {"00 AC 0381A1F3 7F F0 42502161000080 02 C834", "|1*3|24/05/12,16:00:00+08|Hi|0||0"},
      // Six header octets and one fill bit: the text starts at septet 7.
      {"00 44 0B911346610089F6 00 00 42502161000080 12 050003CC0201 906536FB0DBABFE56C32",
       hi + "+08|Hello world|0|204 1/2|"},
      // Escape 65 is the euro sign; escape 41 has no extension, so "A"; escape escape a
      // space; a trailing escape its default rendering, the no-break space.
      {oa + "00 42502161000080 08 9BF226B8D90437", hi + "+08|\xE2\x82\xAC"
                                                        "A A\xC2\xA0|0||"},
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
    EXPECT_EQ(Pdu<DeliverTpdu>::FromHex(Hex(pdu)).ToHex(), Hex(pdu)) << "re-encoded";
  }
}

// Malformed input names the field that could not be read: d through the converter, whose
// outputs stay as they were; s an SMS-SUBMIT, r a status report.
TEST(Converter, MalformedNamesTheFieldAndKeepsTheOutputs) {
  const std::string head = "00 04 0B911346610089F6 00 ";  // to TP-DCS
  const std::string udh = "00 44 0B911346610089F6 00 ";
  const std::string scts = " 42502161000080 ";
  const std::string report = "00 06 2A 0181F1" + scts + scts;
  const std::vector<std::tuple<char, std::string, const char*>> cases = {
      {'d', "", "empty"},
      {'d', "07911326040000F0040", "odd number of hex digits"},
      {'d', head + "00" + scts + "02C8g4", "not a hex digit at position 43"},
      {'d', head + "00" + scts + "02C80:", "not a hex digit at position 44"},
      {'d', "07911326040000F0", "cannot read the first octet"},
      {'d', "00 11 00 0B911346610089F6 00 00 AA 00", "TP-MTI 1"},
      {'d', "00 04 0B91134661", "cannot read TP-OA ("},
      {'d', head + "00" + scts + "0A E8329BFD4697D9EC", "cannot read TP-UD ("},
      {'d', head + "08" + scts + "03 004800", "odd"},
      {'d', head + "20" + scts + "02C834", "TP-DCS 20 announces compressed"},
      {'d', udh + "00" + scts + "00", "cannot read TP-UDHL"},
      // Five header octets are 40 bits: six septets, more than TP-UDL 5.
      {'d', udh + "00" + scts + "05 040003CC02", "TP-UDH ("},
      {'d', udh + "08" + scts + "04 0500030102", "TP-UDH ("},
      {'s', "00 04 0181F1 00 00", "TP-MTI 0 is not an SMS-SUBMIT"},
      {'s', "00 01", "cannot read TP-MR (it needs octets 3 to 3, the PDU has 2)"},
      {'s', "00 01 00 01", "cannot read TP-DA type of address"},
      {'s', "00 11 00 0181F1 00 00", "cannot read TP-VP"},
      {'s', "00 19 00 0181F1 00 00 010203", "cannot read TP-VP"},
      {'s', "00 01 00 0181F1 00 00", "cannot read TP-UDL"},
      {'r', "00 04 01 0181F1" + scts + scts + "00", "TP-MTI 0 is not an SMS-STATUS-REPORT"},
      {'r', "00 06 2A 0181F1 42502161000080 425021", "cannot read TP-DT"},
      {'r', report, "cannot read TP-ST"},
      {'r', report + "00 01", "cannot read TP-PID"},
      {'r', report + "00 80", "cannot read TP-PI"},
      {'r', report + "00 04 05", "cannot read TP-UD ("},
  };
  for (const auto& [kind, pdu, says] : cases) {
    PDUConverter c;
    c.PDU("07911326040000F0040B911346610089F600F1208062917314080CC8F71D14969741F977FD07");
    c.Decode();
    const std::string before = Outputs(c);
    if (kind == 'd') c.PDU(Hex(pdu));
    const std::string error = ErrorOf([&, kind = kind, pdu = Hex(pdu)] {
      if (kind == 'd') c.Decode();
      if (kind == 's') (void)Pdu<SubmitTpdu>::FromHex(pdu);
      if (kind == 'r') (void)Pdu<StatusReportTpdu>::FromHex(pdu);
    });
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
    while (n-- > 0) out += s;
    return out;
  };
  // The number, the text, the coding, then the PDU or what the error says.
  const std::tuple<std::string, std::string, int, std::string> cases[] = {
      {"+31641600986", "How are you?", 0,
       "00 11 00 0B 91 1346610089F6 00 00 AA 0C C8F71D14969741F977FD07"},
      {"0123", "hi", 8, "00 11 00 04 81 1032 00 08 AA 04 00680069"},
      {"12345", "", 0, "00 11 00 05 81 2143F5 00 00 AA 00"},
      // Euro: escape 1B then 65; 1B | 65<<7 = 9B, 65>>1 = 32.
      {"+1", "\xE2\x82\xAC", 0, "00 11 00 01 91 F1 00 00 AA 02 9B32"},
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
  for (const auto& [number, text, coding, result] : cases) {
    PDUConverter c;
    c.PDU("previous");
    c.PhoneNumber(number);
    c.Text(text);
    c.DataCoding(coding);
    const std::string error = ErrorOf([&] { c.Encode(); });
    const bool built = result.starts_with("00");
    EXPECT_EQ(c.PDU(), built ? Hex(result) : "previous") << number << " / " << text;
    EXPECT_TRUE(built ? error.empty()
                      : error.starts_with("5 ") && error.find(result) != std::string::npos)
        << error;
  }
}

TEST(NormaliseNumber, DropsPlusAndHyphenAndPrefixesLocalMobiles) {
  const std::pair<const char*, const char*> cases[] = {
      {"012-5550147", "60125550147"},
      {"+0125550147", "60125550147"},  // plus before the test
      {"0060125550147", "0060125550147"},
      {" 0125", " 0125"},  // nothing else is removed
      {"0", "0"},
      {"12+34-56", "123456"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(pdu::NormaliseNumber(in), out) << in;
}

// Decoding then encoding gives back every octet, so each field is read where it stands;
// `reencoded` when the encoder writes it differently.
template <typename Tpdu>
Pdu<Tpdu> RoundTrip(const std::string& pdu, const std::string& reencoded = "") {
  const auto p = Pdu<Tpdu>::FromHex(Hex(pdu));
  EXPECT_EQ(p.ToHex(), Hex(reencoded.empty() ? pdu : reencoded)) << pdu;
  return p;
}

TEST(Tpdu, SubmitVectors) {
  for (const char* pdu : {
           "05915155109971 00 0781550501F0 00 00 A7 09 050003FF0202 D069",  // service centre
           "00 11 00 0B911346610089F6 00 00 AA 0C C8F71D14969741F977FD07",  // relative validity
           "00 09 00 0181F1 00 00 01020304050607 01 31",                    // enhanced
           "00 41 00 0181F1 00 00 07 050003010101 00",  // a header takes the fill bit's octet
       }) {
    RoundTrip<SubmitTpdu>(pdu);
  }
  // Every flag, a message reference, an absolute validity.
  const SubmitTpdu t =
      RoundTrip<SubmitTpdu>("00 FD 10 04812143 00 08 42502161000080 0B 060804ABCD0301 00480069")
          .tpdu;
  EXPECT_EQ(t.reject_duplicates + t.status_report_request * 2 + t.reply_path * 4, 7);
  EXPECT_EQ(t.message_reference * 1000 + t.dcs, 16'008);
  EXPECT_EQ(t.validity_format, ValidityFormat::kAbsolute);
}

TEST(Tpdu, StatusReportVectors) {
  const std::string times = " 42502161000080 42502161001280 ";
  struct Case {
    std::string pdu, reencoded;
    int status, group;
    const char* text;  // nullptr: no user data
  } const cases[] = {
      {"07911326040000F0 06 2A 0B911346610089F6" + times + "00", "", 0x00, 0, nullptr},
      {"00 22 07 0A811032547698" + times + "46 07 00 00 02 C834", "", 0x46, 2, "Hi"},
      // An extended TP-PI: its further octets are skipped; an empty one announces nothing.
      {"00 06 01 0181F1" + times + "60 86 7F 00 02 C834",
       "00 06 01 0181F1" + times + "60 06 00 02 C834", 0x60, 3, "Hi"},
      {"00 06 01 0181F1" + times + "80 00", "00 06 01 0181F1" + times + "80", 0x80, 4, nullptr},
      {"00 0E FF 038121F3" + times + "30 02 08", "", 0x30, 1, nullptr},
  };
  for (const Case& c : cases) {
    const StatusReportTpdu t = RoundTrip<StatusReportTpdu>(c.pdu, c.reencoded).tpdu;
    EXPECT_EQ(t.status, c.status) << c.pdu;
    EXPECT_EQ(static_cast<int>(GroupOf(t.status)), c.group) << c.pdu;
    EXPECT_EQ(t.discharge_time.Text(), "24/05/12,16:00:21+08") << c.pdu;
    EXPECT_EQ(t.user_data ? UserDataText(t.dcs.value_or(0), *t.user_data) : "-",
              c.text != nullptr ? c.text : "-")
        << c.pdu;
  }
  for (const auto& [st, group] : {std::pair{0x1F, 0}, {0x5F, 2}, {0x7F, 3}}) {
    EXPECT_EQ(static_cast<int>(GroupOf(static_cast<std::uint8_t>(st))), group) << st;
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
      {"0003CC0000", ""},                         // total 0
      {"0002CC02", ""},                           // wrong length
      {"0003CC02", ""},                           // runs past the header
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

}  // namespace
}  // namespace selvarn::pdu
