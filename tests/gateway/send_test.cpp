// The sends that pick their coding, against the simulated modem, asserting the bytes on
// the wire. Long 7-bit texts must go out exactly as the long 7-bit send puts them.
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "messaging/fixture.hpp"
#include "text/text.hpp"

namespace selvarn {
namespace {

using modemsim::Fault;
using Gateway = testing::Messaging;

const std::string kOwn = "+447700900123";
const std::string kOwnAddress = "0C91447700091032";
const Fault kRefused{.literal = "\r\n+CMS ERROR: 500\r\n"};

std::string HexOctet(int v) {
  char buf[3];
  std::snprintf(buf, sizeof buf, "%02X", v);
  return buf;
}

std::string Hex16(std::u16string_view units) {
  std::string out;
  for (const char16_t u : units) out += HexOctet(u >> 8) + HexOctet(u & 0xFF);
  return out;
}

// One UCS2 message to the own number on the wire; `total` 0: no concatenation element.
std::string Ucs2Wire(std::u16string_view units, int reference, int total, int sequence) {
  const int udl = static_cast<int>(units.size()) * 2 + (total ? 6 : 0);
  std::string pdu =
      std::string("00") + (total ? "61" : "21") + "00" + kOwnAddress + "0008" + HexOctet(udl);
  if (total) pdu += "050003" + HexOctet(reference) + HexOctet(total) + HexOctet(sequence);
  pdu += Hex16(units);
  return "AT+CMGS=" + std::to_string(13 + udl) + "\r\r" + pdu + "\x1a\r";
}

std::string Held(const std::string& parts, int restored = 0) {
  return "AT+CMMS?\rAT+CMMS=1\r" + parts + "AT+CMMS=" + std::to_string(restored) + "\r";
}

std::u16string Repeat(std::u16string_view cycle, std::size_t n) {
  std::u16string out;
  while (out.size() < n) out += cycle;
  out.resize(n);
  return out;
}

std::string Utf8(std::u16string_view u) { return text::Utf16ToUtf8(u); }

TEST_F(Gateway, Ucs2TextsCutIntoTheirParts) {
  const std::u16string greek = Repeat(u"αβγδεζηθικλμνξοπρστυφχψω ", 150);
  const std::u16string cyrillic = Repeat(u"Привет, мир! ", 100);
  const std::u16string emoji = Repeat(u"λ", 66) + u"\U0001F600" + u"end";
  struct Case {
    const char* name;
    std::u16string text;
    bool long_unicode;              // SendLongUnicode, else SendText (Auto)
    std::vector<std::size_t> cuts;  // units in each part; empty: one plain message
  } cases[] = {
      {"Greek, 150 characters", greek, true, {67, 67, 16}},
      {"an emoji at units 67-68 moves to part 2", emoji, true, {66, 5}},
      {"Cyrillic, long", cyrillic, false, {67, 33}},
      {"Cyrillic, 70 units is one message", cyrillic.substr(0, 70), false, {}},
      {"a single 7-bit text is sent as UCS2 when asked", u"plain", true, {5}},
  };
  for (const auto& c : cases) {
    Wire();
    const bool sent = c.long_unicode ? sms.SendLongUnicode(kOwn, Utf8(c.text), 7)
                                     : sms.SendText(kOwn, Utf8(c.text), 7);
    EXPECT_TRUE(sent) << c.name;
    std::string parts;
    std::size_t at = 0;
    for (std::size_t k = 0; k < c.cuts.size(); ++k) {
      parts += Ucs2Wire(std::u16string_view(c.text).substr(at, c.cuts[k]), 7,
                        static_cast<int>(c.cuts.size()), static_cast<int>(k + 1));
      at += c.cuts[k];
    }
    if (c.cuts.empty()) parts = Ucs2Wire(c.text, 0, 0, 0);
    EXPECT_EQ(Wire(), c.cuts.size() > 1 ? Held(parts) : parts) << c.name;
    EXPECT_EQ(sms.SentReferences().size(), std::max<std::size_t>(c.cuts.size(), 1)) << c.name;
  }
}

TEST_F(Gateway, SevenBitTextsGoOutAsTheLongSendPutsThem) {
  const std::string ascii = std::string(152, 'a') + "\xe2\x82\xac" + std::string(10, 'b');
  struct Case {
    const char* name;
    std::string text;
    SendCoding coding;
  } cases[] = {
      {"euro sign across the 153-septet boundary", ascii, SendCoding::Auto},
      {"Cyrillic forced to 7-bit becomes question marks", Utf8(Repeat(u"Мир ", 170)),
       SendCoding::Gsm7},
  };
  for (const auto& c : cases) {
    std::string number = kOwn, text = c.text;
    std::int16_t reference = 200;
    Wire();
    ASSERT_TRUE(sms.SendLMSText(number, text, reference)) << c.name;
    const std::string expected = Held(Wire());
    LogEntries();
    EXPECT_TRUE(sms.SendText(kOwn, c.text, 200, c.coding)) << c.name;
    EXPECT_EQ(Wire(), expected) << c.name;
    EXPECT_EQ(LogEntries().size(), sms.SentReferences().size()) << c.name;
  }
}

TEST_F(Gateway, SingleMessagesAskForAReportAndLeaveTheLinkAlone) {
  struct Case {
    std::string number, text;
    SendCoding coding;
    std::string wire;
  } cases[] = {
      {"+60125550147", "hellohello", SendCoding::Auto,
       "AT+CMGS=22\r\r0021000B910621550541F700000AE8329BFD4697D9EC37\x1a\r"},
      {"+60125550147", "hi", SendCoding::Ucs2,
       "AT+CMGS=17\r\r0021000B910621550541F700080400680069\x1a\r"},
      {"+60125550147", "\xce\x94", SendCoding::Auto,  // Greek capital delta is 7-bit
       "AT+CMGS=14\r\r0021000B910621550541F700000110\x1a\r"},
      {"+60125550147", "\xe2\x82\xac", SendCoding::Auto,  // euro: escape and 0x65
       "AT+CMGS=15\r\r0021000B910621550541F7000002"
       "9B32\x1a\r"},
  };
  for (const auto& c : cases) {
    Wire();
    EXPECT_TRUE(sms.SendText(c.number, c.text, 9, c.coding)) << c.text;
    EXPECT_EQ(Wire(), c.wire) << c.text;
    LogEntries();
  }
}

TEST_F(Gateway, LinkSettingPutBackWhateverTheModemSays) {
  const std::string text(200, 'z');
  std::string number = kOwn, copy = text;
  std::int16_t reference = 1;
  ASSERT_TRUE(sms.SendLMSText(number, copy, reference));
  const std::string parts = Wire();
  struct Case {
    const char* name;
    int before;
    const char* fault_on;
    Fault fault;
    std::string wire;
  } cases[] = {
      {"was 2", 2, "AT+NONE", {}, Held(parts, 2)},
      {"query refused", 2, "AT+CMMS?", {.literal = "\r\nERROR\r\n"}, Held(parts, 0)},
      {"query without a value", 2, "AT+CMMS?", {.literal = "\r\nOK\r\n"}, Held(parts, 0)},
      {"set refused", 0, "AT+CMMS=1", {.literal = "\r\n+CMS ERROR: 302\r\n"}, Held(parts, 0)},
  };
  for (const auto& c : cases) {
    Restart({.cmms = c.before});
    sim->SetFault(c.fault_on, c.fault);
    EXPECT_TRUE(sms.SendText(kOwn, text, 1)) << c.name;
    EXPECT_EQ(Wire(), c.wire) << c.name;
  }
}

TEST_F(Gateway, FirstRefusedPartEndsTheSendAndTheLinkIsStillPutBack) {
  std::vector<std::pair<int, int>> progress;
  sms.SetSendProgress([&](int taken, int total) {
    progress.emplace_back(taken, total);
    sim->SetFault("00", kRefused);  // every part after the first
  });
  const std::u16string text = Repeat(u"ж", 150);
  EXPECT_FALSE(sms.SendLongUnicode(kOwn, Utf8(text), 3));
  EXPECT_EQ(Wire(),
            Held(Ucs2Wire(text.substr(0, 67), 3, 3, 1) + Ucs2Wire(text.substr(67, 67), 3, 3, 2)));
  EXPECT_EQ(progress, (std::vector<std::pair<int, int>>{{1, 3}}));
  const auto submitted = sim->State().submitted;
  ASSERT_EQ(submitted.size(), 1u);
  EXPECT_EQ(sms.SentReferences(), std::vector<int>{submitted[0].reference});
  EXPECT_EQ(sms.MR().substr(0, sms.MR().find('\r')), std::to_string(submitted[0].reference));
  EXPECT_EQ(LogEntries(), (std::vector<std::string>{"Message Part: " + Utf8(text.substr(0, 67)),
                                                    "Message Part: " + Utf8(text.substr(67, 67))}));
}

TEST_F(Gateway, BadArgumentsAndAClosedPortSendNothing) {
  using testing::ErrorNumberOf;
  struct Case {
    std::string number, text;
    int reference, error;
  } cases[] = {
      {"07700 900123", "hi", 0, 5},
      {kOwn, "", 0, 5},
      {kOwn, "hi", -1, 5},
      {kOwn, "hi", 256, 5},
      {kOwn, std::string(153 * 255 + 1, 'a'), 0, 6},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ErrorNumberOf([&] { sms.SendText(c.number, c.text, c.reference); }), c.error)
        << c.number << " / " << c.reference;
    EXPECT_EQ(ErrorNumberOf([&] { sms.SendLongUnicode(c.number, c.text, c.reference); }), c.error);
    EXPECT_EQ(Wire(), "");
  }
  // 153 * 255 septets is the most a message holds, and 255 the highest reference.
  sim->SetFault("AT+CMGS", kRefused);
  EXPECT_FALSE(sms.SendText(kOwn, std::string(153 * 255, 'a'), 255));
  EXPECT_EQ(LogEntries().size(), 1u);
  Wire();
  platform::frmATC().GSM.PortOpen(false);
  EXPECT_FALSE(sms.SendText(kOwn, "hi", 0));
  EXPECT_FALSE(sms.SendLongUnicode(kOwn, std::string(300, 'a'), 0));
  EXPECT_EQ(Wire(), "");
  EXPECT_EQ(LogEntries(), std::vector<std::string>{});
}

}  // namespace
}  // namespace selvarn
