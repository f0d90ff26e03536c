// The sends that pick their coding, asserting the bytes on the wire, and the receive hook:
// what it is given, and that a declined message or report stays stored.
#include <signal.h>
#include <sys/resource.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "messaging/fixture.hpp"
#include "pdu/hex.hpp"
#include "store/receive_binding.hpp"
#include "text/text.hpp"

namespace selvarn {
namespace {

using modemsim::Fault;
using Gateway = testing::Messaging;

const std::string kOwn = "+447700900123";
const Fault kRefused{.literal = "\r\n+CMS ERROR: 500\r\n"};

// One UCS2 message to the own number on the wire; `total` 0: no concatenation element.
std::string Ucs2Wire(std::u16string_view units, int reference, int total, int sequence) {
  const int udl = static_cast<int>(units.size()) * 2 + (total ? 6 : 0);
  std::string pdu = std::string("00") + (total ? "61" : "21") + "000C914477000910320008";
  pdu::AppendHexOctet(pdu, udl);
  for (const int octet : {5, 0, 3, reference, total, sequence})
    if (total) pdu::AppendHexOctet(pdu, static_cast<unsigned>(octet));
  for (const char16_t u : units) {
    pdu::AppendHexOctet(pdu, u >> 8);
    pdu::AppendHexOctet(pdu, u & 0xFFU);
  }
  return "AT+CMGS=" + std::to_string(13 + udl) + "\r\r" + pdu + "\x1a\r";
}

std::string Held(const std::string& parts, int restored = 0) {
  return "AT+CMMS?\rAT+CMMS=1\r" + parts + "AT+CMMS=" + std::to_string(restored) + "\r";
}

std::string Utf8(std::u16string_view u) { return text::Utf16ToUtf8(u); }

TEST_F(Gateway, Ucs2TextsCutIntoTheirParts) {
  const std::u16string emoji = std::u16string(66, u'λ') + u"\U0001F600end";
  struct Case {
    const char* name;
    std::u16string text;
    bool long_unicode;              // SendLongUnicode, else SendText (Auto)
    std::vector<std::size_t> cuts;  // units in each part; empty: one plain message
  } cases[] = {
      // Where the parts are cut is the planner's (GatewayPlan); here, how they go out.
      {"an emoji at units 67-68 moves to part 2", emoji, true, {66, 5}},
      {"Auto picks UCS2 for Greek", u"λλ", false, {}},
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

// To +60125550147 with the report request; `tail` is coding, length and user data.
TEST_F(Gateway, SingleMessagesAskForAReportAndLeaveTheLinkAlone) {
  struct Case {
    const char* text;
    SendCoding coding;
    int octets;
    const char* tail;
  } cases[] = {
      {"hellohello", SendCoding::Auto, 22, "000AE8329BFD4697D9EC37"},
      {"hi", SendCoding::Ucs2, 17, "080400680069"},
      {"\xce\x94", SendCoding::Auto, 14, "000110"},        // Greek capital delta is 7-bit
      {"\xe2\x82\xac", SendCoding::Auto, 15, "00029B32"},  // euro: escape and 0x65
      {"\xd0\x96", SendCoding::Gsm7, 14, "00013F"},        // Cyrillic forced to 7-bit: "?"
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(sms.SendText("+60125550147", c.text, 9, c.coding)) << c.text;
    EXPECT_EQ(Wire(), "AT+CMGS=" + std::to_string(c.octets) + "\r\r0021000B910621550541F700" +
                          c.tail + "\x1a\r");
  }
}

// Long 7-bit texts go out as the long 7-bit send puts them (a euro across the boundary).
TEST_F(Gateway, LinkSettingPutBackWhateverTheModemSays) {
  const std::string text = std::string(152, 'a') + "\xe2\x82\xac" + std::string(10, 'b');
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
  const std::u16string text(150, u'ж');
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
  platform::ThreadPort().port.PortOpen(false);
  EXPECT_FALSE(sms.SendText(kOwn, "hi", 0));
  EXPECT_FALSE(sms.SendLongUnicode(kOwn, std::string(300, 'a'), 0));
  EXPECT_EQ(LogEntries(), std::vector<std::string>{}) << "nothing logged on a closed port";
}

using store::MessageStore;
using store::ReceiveBinding;
using Hook = testing::Messaging;

const std::string kReadWire = "AT+CPMS=\"SM\"\rAT+CMGL=\"4\"\r\rAT+CMGL=\"1\"\r\rAT+CMGR=1\r";
const std::string kReportWire = "AT+CMGF=1\rAT+CPMS=\"SR\"\rAT+CMGL=\"ALL\"\rAT+CMGR=\"1\"\r";

// "hi" in UCS2 from +447700900001 at 24/01/02,10:11:12+04 after `first` octet and header `ud`.
std::string Deliver(const char* first, const char* ud) {
  return std::string("0791447758100650") + first + "0C9144770009001000084210200111214" + "0" + ud;
}

// A hook that declines or throws leaves the message or report stored and the modem restored.
TEST_F(Hook, WhatTheHookAnswersDecidesTheDeletion) {
  sim->StoreMessage({.text = "keep me"});
  sms.SetReceiveHook({.message = [](const ReceivedMessage&) -> bool {
    throw std::runtime_error("store is gone");
  }});
  EXPECT_THROW(sms.ReadSMS(), std::runtime_error);
  EXPECT_EQ(Wire(), kReadWire);
  EXPECT_EQ(sim->Messages("SM").size(), 1u);

  // A report's exits trap every error; fields that cannot be handed over decline it unseen.
  const std::string stamps = "\"24/01/02,10:11:12+04\",\"24/01/02,10:11:20+04\",";
  const auto read = [&](const char* reference, const char* status) {
    return "\r\n+CMGR: \"REC UNREAD\",6," + std::string(reference) + ",\"+4477\",145," + stamps +
           status + "\r\n\r\nOK\r\n";
  };
  struct Case {
    int answer;                           // 0 false, 1 true, 2 throws
    std::optional<std::string> report{};  // the modem's answer to the report's read
  } cases[] = {{0}, {2}, {1, read("12", "x")}, {1, read("256", "0")}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    Restart();
    sim->StoreReport({.reference = 9});
    if (c.report) sim->SetFault("AT+CMGR=\"", {.literal = c.report});
    int calls = 0;
    sms.SetReceiveHook({.report = [&](const ReceivedReport&) {
      ++calls;
      if (c.answer == 2) throw std::runtime_error("store is gone");
      return c.answer == 1;
    }});
    EXPECT_FALSE(sms.GetDeliveryReport());
    EXPECT_EQ(calls, c.report ? 0 : 1);
    EXPECT_EQ(Wire(), kReportWire + "AT+CMGF=0\rAT+CPMS=\"SM\"\r");
    EXPECT_EQ(sim->Messages("SR").size(), 1u);
  }
}

TEST_F(Hook, TheHookSeesWhatWasDecoded) {
  EXPECT_EQ(sms.ReadConcatenation(), std::nullopt);
  const Concatenation concat{0xABCD, 16, 3, 2};
  const std::string part = Deliver("44", "0B060804ABCD030200680069");
  sim->StorePdu("SM", part);
  sim->StorePdu("SM", Deliver("04", "0400680069"));
  std::vector<ReceivedMessage> seen;
  std::optional<ReceivedReport> report;
  sms.SetReceiveHook({[&](const ReceivedMessage& m) { return seen.push_back(m), true; },
                      [&](const ReceivedReport& r) { return report = r, true; }});
  ASSERT_TRUE(sms.ReadSMS());
  EXPECT_EQ(sms.ReadConcatenation(), concat);
  ASSERT_TRUE(sms.ReadSMS());
  EXPECT_EQ(sms.ReadConcatenation(), std::nullopt) << "a single message after a part";
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(std::to_string(seen[0].index) + " " + seen[0].sender + " " + seen[0].smsc + " " +
                seen[0].scts + " " + seen[0].text + " " + std::to_string(seen[0].dcs),
            "1 +447700900001 +447785016005 24/01/02,10:11:12+04 hi 8");
  EXPECT_EQ(seen[0].pdu, part);
  EXPECT_EQ(seen[0].concat, concat);
  EXPECT_EQ(seen[1].concat, std::nullopt);

  sim->StoreReport({.reference = 77,
                    .recipient = "+447700900002",
                    .status = 64,
                    .submitted = "24/01/02,10:11:12+04",
                    .discharged = "24/01/03,09:00:00+08"});
  sim->StoreReport({.reference = 78});
  ASSERT_TRUE(sms.GetDeliveryReport());
  ASSERT_TRUE(report);
  EXPECT_EQ(std::to_string(report->index) + " " + std::to_string(report->reference) + " " +
                report->recipient + " " + report->submitted + " " + report->discharged + " " +
                std::to_string(report->status),
            "1 77 +447700900002 24/01/02,10:11:12+04 24/01/03,09:00:00+08 64");
  EXPECT_EQ(sms.DRStatus(), DeliveryStatus::Unknown);
}

// A store that cannot be written: message and report stay on the SIM, the error names the file.
TEST_F(Hook, AStoreThatCannotBeWrittenLeavesMessageAndReportOnTheSim) {
  MessageStore store(ports.path() + "/messages.db", {});
  ReceiveBinding binding(store);
  sms.SetReceiveHook(binding.Hook());
  sim->StoreMessage({.text = "keep me"});
  sim->StoreReport({.reference = 9});
  Wire();
  rlimit before{};
  getrlimit(RLIMIT_FSIZE, &before);
  signal(SIGXFSZ, SIG_IGN);
  const rlimit full{0, before.rlim_max};  // as good as a full disk
  setrlimit(RLIMIT_FSIZE, &full);
  const bool read = sms.ReadSMS();
  const std::string error = binding.LastError();
  const bool report = sms.GetDeliveryReport();
  setrlimit(RLIMIT_FSIZE, &before);
  EXPECT_FALSE(read);
  EXPECT_FALSE(report);
  EXPECT_EQ(Wire().find("AT+CMGD"), std::string::npos);
  EXPECT_EQ(sim->Messages("SM").size() + sim->Messages("SR").size(), 2u);
  EXPECT_NE(error.find(ports.path() + "/messages.db"), std::string::npos) << error;
  EXPECT_NE(error.find("disk I/O error"), std::string::npos) << error;
  // Once the store can be written again the same message goes through.
  EXPECT_TRUE(sms.ReadSMS());
  EXPECT_EQ(binding.LastError(), "");
  EXPECT_EQ(store.NewMessages().at(0).Text(), "keep me");
}

}  // namespace
}  // namespace selvarn
