// Short and long sends against the simulated modem, asserting the bytes on the wire.
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "messaging/fixture.hpp"
#include "messaging/long_send.hpp"

namespace selvarn {
namespace {

using modemsim::Fault;
using Sending = testing::Messaging;

// "hellohello" to 012-5550147, which goes out as 60125550147.
constexpr const char* kHello = "0B810621550541F70000AA0AE8329BFD4697D9EC37";
const std::string kSent = "AT+CMGS=23\r\r001100" + std::string(kHello) + "\x1a\r";
constexpr const char* kRefusal = "\r\n+CMS ERROR: 500\r\n";
const Fault kRefused{.literal = kRefusal};

TEST_F(Sending, ShortMessagesWithEveryAnswer) {
  const std::string unicode = "AT+CMGS=18\r\r0011000B810621550541F70008AA0400680069\x1a\r";
  const std::string international =
      "AT+CMGS=23\r\r0011000B910621550541F70000AA0AE8329BFD4697D9EC37\x1a\r";
  const std::string reported = "AT+CMGS=23\r\r003100" + std::string(kHello) + "\x1a\r";
  struct Case {
    std::string wire;
    bool result;
    const char* mr;  // nullptr: unchanged; "": the simulator's reference
    const char* fault_on = "AT+NONE";
    const char* answer = nullptr;
    const char* number = "012-5550147";
    const char* text = "hellohello";
    bool unicode = false, report = false;
  } cases[] = {
      {kSent, true, ""},
      {reported, true, "", "AT+NONE", nullptr, "012-5550147", "hellohello", false, true},
      {international, true, "", "AT+NONE", nullptr, "+60125550147"},
      {unicode, true, "", "AT+NONE", nullptr, "012-5550147", "hi", true},
      {kSent, true, "12\r\n\r\n", "00", "\r\n+CMGS: 12\r\n\r\nOK\r\n"},  // line breaks kept
      {kSent, true, nullptr, "00", "\r\nOK\r\n"},
      {kSent, true, nullptr, "00", "\r\nOK\r\n\r\n+CMGS: 7\r\n"},  // no OK after +CMGS
      {kSent, false, nullptr, "00", kRefusal},
      {"AT+CMGS=23\r\r", false, nullptr, "AT+CMGS", "\r\nERROR\r\n"},
      {"AT+CMGS=23\r\r\x1b\r", false, nullptr, "AT+CMGS", kRefusal},  // no prompt: cancelled
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.wire);
    if (c.answer != nullptr) sim->SetFault(c.fault_on, {.literal = c.answer});
    sms.MR("old");
    ASSERT_TRUE(c.report ? sms.DeliveryReportOn() : sms.DeliveryReportOff());
    Wire();
    EXPECT_EQ(c.unicode ? sms.SendSMSU(c.number, c.text) : sms.SendSMST(c.number, c.text),
              c.result);
    EXPECT_EQ(Wire(), c.wire);
    const std::string mr =
        c.mr == nullptr ? "old"
        : *c.mr == 0    ? std::to_string(sim->State().submitted.back().reference) + "\r\n\r\n"
                        : c.mr;
    EXPECT_EQ(sms.MR(), mr);
    sim->ClearFaults();
  }
  platform::frmATC().GSM.PortOpen(false);
  EXPECT_FALSE(sms.SendSMST("012", "hi"));
  EXPECT_FALSE(sms.SendSMSU("012", "hi"));
  EXPECT_EQ(sms.MR(), "old");
}

// No prompt: it is awaited for the default 7 s (8 s from the start of a second, and one
// 50 ms cycle), then ESC is sent and its answer awaited 2 s.
TEST_F(Sending, AMissingPromptIsAwaitedSevenSecondsAndItsCancelTwo) {
  sim->SetFault("AT+CMGS", {.silent = true});
  const std::int64_t start = clock.NowMs();
  EXPECT_FALSE(sms.SendSMST("012-5550147", "hellohello"));
  EXPECT_EQ(clock.NowMs() - start, 8000 + 50 + 2000);
  EXPECT_EQ(Wire(), "AT+CMGS=23\r\r\x1b\r");
}

// A prompt that comes after its wait is cancelled, and neither the prompt nor the answer to
// the cancel reaches the next command.
TEST_F(Sending, ALatePromptIsCancelledAndItsAnswerRead) {
  struct Case {
    Fault next;
    bool result;
  } cases[] = {{{}, true}, {{.literal = "\r\nERROR\r\n"}, false}};
  for (const auto& c : cases) {
    sim->SetFault("AT+CMGS", {.delay = std::chrono::milliseconds(1000), .count = 1});
    sim->SetFault("AT+CNMI", c.next);
    bool waited = false;
    clock.on_sleep = [&](std::int64_t) {
      if (waited || sim->Received().find('\x1b') == std::string::npos) return;
      waited = true;  // the library's time stands still until the late answers are out
      EXPECT_TRUE(sim->WaitSent("> ", std::chrono::seconds(5)));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    };
    EXPECT_FALSE(sms.SendSMST("012-5550147", "hellohello"));
    EXPECT_EQ(sms.DeliveryReportOff(), c.result);
    clock.on_sleep = nullptr;
    EXPECT_EQ(Wire().substr(0, 14), "AT+CMGS=23\r\r\x1b\r");
  }
}

TEST_F(Sending, LongMessagesPartByPart) {
  std::string text;
  for (int i = 0; i < 400; ++i) text += static_cast<char>('a' + i % 26);
  const std::string head = "AT\\+CMGS=(153|102)\r\r0061000C914477000910320000(A0|65)0500030703";
  const char* second = "0061000C914477000910320000A0050003070302";
  struct Case {
    int parts_logged, parts_sent;
    bool result = false;
    const char* fault_on = "AT+NONE";
    std::string number = "+447700900123";
    std::int16_t reference = 7;
  } cases[] = {
      {3, 3, true},                                    // all taken
      {2, 2, false, second},                           // part 2 refused
      {1, 1, false, "AT+CMGS"},                        // no prompt: the PDU's answer decides
      {1, 0, false, "AT+NONE", "+44 7700"},            // bad number
      {1, 0, false, "AT+NONE", "+447700900123", 256},  // reference beyond an octet
  };
  for (auto c : cases) {
    SCOPED_TRACE(c.fault_on + c.number);
    sim->SetFault(c.fault_on, kRefused);
    sms.MR("old");
    const auto before = sim->State().submitted.size();
    const std::string number = c.number, message = text;
    const std::int16_t reference = c.reference;
    EXPECT_EQ(sms.SendLMSText(c.number, text, c.reference), c.result);
    EXPECT_EQ(c.number, number);
    EXPECT_EQ(text, message);
    EXPECT_EQ(c.reference, reference);
    std::vector<std::string> logged;
    for (int k = 0; k < c.parts_logged; ++k) {
      logged.push_back("Message Part: " + text.substr(static_cast<std::size_t>(k) * 153, 153));
    }
    EXPECT_EQ(LogEntries(), logged);
    std::string wire;
    for (int k = 1; k <= c.parts_sent; ++k)
      wire += head + "0" + std::to_string(k) + "[0-9A-F]+\x1a\r";
    EXPECT_TRUE(std::regex_match(Wire(), std::regex(wire)));
    const auto& sent = sim->State().submitted;
    EXPECT_EQ(sms.MR(),
              sent.size() == before ? "old" : std::to_string(sent.back().reference) + "\r\n\r\n");
    sim->ClearFaults();
  }
}

TEST_F(Sending, TextsThatCannotBeSentWholeAreRefusedBeforeAnything) {
  std::string number = "+447700900123", empty, huge(32896, 'a');
  std::int16_t reference = 1;
  EXPECT_EQ(testing::ErrorNumberOf([&] { sms.SendLMSText(number, empty, reference); }), 5);
  EXPECT_EQ(testing::ErrorNumberOf([&] { sms.SendLMSText(number, huge, reference); }), 6);
  EXPECT_TRUE(LogEntries().empty());
  EXPECT_EQ(Wire(), "");
  platform::frmATC().GSM.PortOpen(false);
  EXPECT_EQ(testing::ErrorNumberOf([&] { sms.SendLMSText(number, huge.erase(400), reference); }),
            err::kDeviceNotOpen);
  EXPECT_EQ(LogEntries().size(), 1u) << "one part logged";
}

TEST(SplitMessage, PartsOfAtMost153SeptetsNeverSplittingAPair) {
  const std::string a152(152, 'a'), kEmoji = "\xf0\x9f\x98\x80";  // one septet, two units
  std::string emoji79;
  for (int i = 0; i < 79; ++i) emoji79 += kEmoji;
  struct Case {
    std::string text;
    std::vector<std::size_t> sizes;  // bytes of each part
  } cases[] = {
      {std::string(154, 'a'), {153, 1}},
      {std::string(400, 'a'), {153, 153, 94}},
      {a152 + "[b", {152, 2}},
      {a152.substr(1) + "[b", {152, 1}},
      {a152 + "\xe2\x82\xac", {152, 3}},
      {a152 + kEmoji, {156}},
      {emoji79 + "a" + kEmoji, {317, 4}},
      {std::string(32895, 'a'), std::vector<std::size_t>(214, 153)},
  };
  cases[7].sizes.push_back(153);
  for (const auto& c : cases) {
    std::vector<std::size_t> sizes;
    std::string joined;
    for (const auto& part : messaging::SplitMessage(c.text)) {
      sizes.push_back(part.size());
      joined += part;
    }
    EXPECT_EQ(sizes, c.sizes) << c.text.substr(150);
    EXPECT_EQ(joined, c.text);
  }
}

// Client text never reaches the wire as it stands: only hexadecimal PDUs go out.
TEST_F(Sending, ControlCharactersNeverReachTheWire) {
  const std::regex pdus("(AT\\+CMGS=[0-9]+\r\r[0-9A-F]+\x1a\r)*");
  for (const std::string bad : {"\x1a", "\rAT+CMGD=1,4\r"}) {
    SCOPED_TRACE(::testing::PrintToString(bad));
    std::string number = "+4477" + bad, text = "hi" + bad + "there";
    std::string good = "+447700900123";
    std::int16_t reference = 1;
    EXPECT_EQ(testing::ErrorNumberOf([&] { sms.SendSMST(number, "hi"); }), 5);
    EXPECT_EQ(testing::ErrorNumberOf([&] { sms.SendSMSU(number, "hi"); }), 5);
    EXPECT_FALSE(sms.SendLMSText(number, text, reference));
    EXPECT_EQ(Wire(), "");
    EXPECT_TRUE(sms.SendSMST(good, text));
    EXPECT_TRUE(sms.SendSMSU(good, text));
    EXPECT_TRUE(sms.SendLMSText(good, text, reference));
    EXPECT_TRUE(std::regex_match(Wire(), pdus));
  }
}

}  // namespace
}  // namespace selvarn
