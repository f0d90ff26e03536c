// Sending, reading and status reports against the simulated modem, asserting the bytes on the
// wire.
#include <chrono>
#include <initializer_list>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "messaging/fixture.hpp"
#include "messaging/long_send.hpp"
#include "modem/port_session.hpp"

namespace selvarn {
namespace {

using modemsim::Fault;
using Sending = testing::Messaging;

// Sets each of the given text properties to "old".
void SetOld(SMS& sms, std::initializer_list<void (SMS::*)(std::string)> setters) {
  for (const auto set : setters) (sms.*set)("old");
}

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
  platform::ThreadPort().port.PortOpen(false);
  EXPECT_FALSE(sms.SendSMST("012", "hi"));
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

// The cancel's answer after a late prompt is read, so it cannot be taken for the next one.
TEST_F(Sending, ALatePromptIsCancelledAndItsAnswerRead) {
  sim->SetFault("AT+CMGS", {.delay = std::chrono::milliseconds(1000), .count = 1});
  sim->SetFault("AT+CNMI", {.literal = "\r\nERROR\r\n"});
  clock.on_sleep = [&](std::int64_t) {  // time stands still until the late answers are out
    if (sim->Received().find('\x1b') == std::string::npos) return;
    EXPECT_TRUE(sim->WaitSent("> ", std::chrono::seconds(5)));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    sim->ClearTranscript();
  };
  EXPECT_FALSE(sms.SendSMST("012-5550147", "hellohello"));
  clock.on_sleep = nullptr;
  EXPECT_FALSE(sms.DeliveryReportOff());
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
    EXPECT_EQ(sms.SendLMSText(c.number, text, c.reference), c.result);
    std::vector<std::string> logged;
    for (std::size_t k = 0; k < static_cast<std::size_t>(c.parts_logged); ++k)
      logged.push_back("Message Part: " + text.substr(k * 153, 153));
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
  platform::ThreadPort().port.PortOpen(false);
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
      {a152 + "[b", {152, 2}},
      {a152 + kEmoji, {156}},
      {emoji79 + "a" + kEmoji, {317, 4}},
  };
  for (const auto& c : cases) {
    std::vector<std::size_t> sizes;
    for (const auto& part : messaging::SplitMessage(c.text)) sizes.push_back(part.size());
    EXPECT_EQ(sizes, c.sizes) << c.text.substr(150);
  }
}

// Client text never reaches the wire as it stands: only hexadecimal PDUs go out.
TEST_F(Sending, ControlCharactersNeverReachTheWire) {
  const std::regex pdus("(AT\\+CMGS=[0-9]+\r\r[0-9A-F]+\x1a\r)*");
  const std::string bad = "\x1a\rAT+CMGD=1,4\r";
  std::string number = "+4477" + bad, text = "hi" + bad + "there", good = "+447700900123";
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

using modemsim::MessageStatus;
using Reading = testing::Messaging;

// "hellohello" from +447700900001 at 24/01/02,10:11:12+04 via +447785016005, coded `dcs`.
std::string Deliver(const char* dcs) {
  return std::string("0791447758100650040C91447700090010") + "00" + dcs +
         "421020011121400AE8329BFD4697D9EC37";
}
const std::string kPlain = Deliver("00");
const std::string kList = "AT+CPMS=\"SM\"\rAT+CMGL=\"4\"\r\rAT+CMGL=\"1\"\r\r";

TEST_F(Reading, EachOutcomeWithItsLinesPropertiesAndStore) {
  const std::string read = kList + "AT+CMGR=1\r", done = read + "AT+CMGD=1\r\r";
  const char* err = "\r\nERROR\r\n";
  const char* listed = "AT+CMGL=\"1\"";
  struct Case {
    std::string wire;
    bool result;
    const char* fault_on = "AT+NONE";
    const char* answer = nullptr;
    int index = 1;  // where the message is stored; -1: nowhere
    std::string pdu = kPlain;
    int error = 0;
  } cases[] = {
      {done, true},
      {kList + "AT+CMGR=0\rAT+CMGD=0\r\r", true, "AT+NONE", nullptr, 0},  // index 0
      {done, true, "AT+NONE", nullptr, 1, Deliver("0C")},  // reserved coding read as 7-bit
      {done, false, "AT+CMGD", err},
      {read, false, "AT+CMGR", "\r\n+CMS ERROR: 500\r\n"},
      {read, false, "AT+CMGR", "\r\nOK\r\n"},
      {"AT+CPMS=\"SM\"\r", false, "AT+CPMS", err},
      {kList.substr(0, 26), false, "AT+CMGL=\"4\"", err},
      {kList, false, listed, err},
      {kList, false, "AT+NONE", nullptr, -1},
      {kList + "AT+CMGR=7\r", false, listed, "\r\n+CMGL:  7 ,1,,5\r\n00\r\n\r\nOK\r\n"},
      {kList, false, listed, "\r\n+CMGL: x,1,,5\r\n00\r\n\r\nOK\r\n", 1, kPlain, 13},
      {kList, false, listed, "\r\n+CMGL: 1\r\n\r\nOK\r\n", 1, kPlain, 5},
      {read, false, "AT+NONE", nullptr, 1, Deliver("20"), 5},  // undecodable
      // A listing that does not end in time is a fault, not an empty storage.
      {kList.substr(0, 26), false, "AT+CMGL=\"4\"", "", 1, kPlain, 57},
      {kList, false, listed, "\r\n+CMGL: 1,1,,5\r\n00\r\n", 1, kPlain, 57},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.wire) + " " + c.fault_on);
    modemsim::ModemState modem{.first_index = c.index < 0 ? 1 : c.index};
    if (c.index >= 0) modem.sm = {{c.index, MessageStatus::ReceivedUnread, c.pdu}};
    Restart(modem);
    if (c.answer != nullptr) sim->SetFault(c.fault_on, {.literal = c.answer});
    SetOld(sms, {&SMS::SMSC, &SMS::MN, &SMS::SCTS, &SMS::Msg});
    bool result = false;
    EXPECT_EQ(testing::ErrorNumberOf([&] { result = sms.ReadSMS(); }), c.error);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(Wire(), c.wire);
    const bool decoded = c.wire.find("AT+CMGD") != std::string::npos;
    EXPECT_EQ(sms.SMSC() + " " + sms.MN() + " " + sms.SCTS() + " " + sms.Msg(),
              decoded ? "+447785016005 +447700900001 24/01/02,10:11:12+04 hellohello"
                      : "old old old old");
    EXPECT_EQ(sim->Messages("SM").size(), c.index < 0 || c.result ? 0u : 1u);
    modem::CurrentSession().undecodable.clear();
  }
}

TEST_F(Reading, OneMessageACallInListingOrderPassingOverWhatCannotBeDecoded) {
  const auto at = [](int index, MessageStatus status, std::string pdu) {
    return modemsim::StoredMessage{index, status, std::move(pdu)};
  };
  Restart({.sm = {at(1, MessageStatus::StoredSent, kPlain),
                  at(2, MessageStatus::ReceivedRead, Deliver("20")),
                  at(3, MessageStatus::ReceivedUnread, kPlain),
                  at(4, MessageStatus::ReceivedRead, Deliver("0C"))}});
  // 2 cannot be decoded: it stays, and later calls pass over it to 3 and 4.
  EXPECT_EQ(testing::ErrorNumberOf([&] { sms.ReadSMS(); }), 5);
  EXPECT_EQ(Wire(), kList + "AT+CMGR=2\r");
  for (const char* index : {"3", "4"}) {
    EXPECT_TRUE(sms.ReadSMS());
    EXPECT_EQ(Wire(), kList + "AT+CMGR=" + index + "\rAT+CMGD=" + index + "\r\r");
  }
  EXPECT_FALSE(sms.ReadSMS());
  EXPECT_EQ(Wire(), kList);
  const auto left = sim->Messages("SM");
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left[1].index, 2);
  // Another message at the same index is not the one that failed.
  Restart({.sm = {at(2, MessageStatus::ReceivedRead, kPlain)}});
  EXPECT_TRUE(sms.ReadSMS());
}

using Reports = testing::Messaging;

const Fault kError{.literal = "\r\nERROR\r\n"};

TEST_F(Reports, TheSwitchSetsWhatLaterSendsAskFor) {
  const std::string on = "AT+CNMI=2,0,0,2,0\r\rAT+CSMP=49,255,0,0\r\r";
  const std::string off = "AT+CNMI=2,0,0,0,0\r\rAT+CSMP=1,255,0,0\r\r";
  struct Case {
    bool on, before;
    const char* fault_on;
    bool result;
    std::string wire;
    bool after;
  } cases[] = {
      {true, false, "AT+NONE", true, on, true},
      {true, true, "AT+CNMI", false, on.substr(0, 19), false},
      {true, true, "AT+CSMP", false, on, false},
      {false, true, "AT+NONE", true, off, false},
      {false, true, "AT+CNMI", false, off.substr(0, 19), true},
      {false, true, "AT+CSMP", false, off, true},
  };
  // The flag shows in the first octet of the next short message: 31 asks for a report.
  const auto asks = [&] {
    Wire();
    EXPECT_TRUE(sms.SendSMST("0123", "hi"));
    return Wire().substr(14, 2) == "31";
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.on) + " " + c.fault_on);
    ASSERT_EQ(c.before ? sms.DeliveryReportOn() : sms.DeliveryReportOff(), true);
    Wire();
    sim->SetFault(c.fault_on, kError);
    EXPECT_EQ(c.on ? sms.DeliveryReportOn() : sms.DeliveryReportOff(), c.result);
    EXPECT_EQ(Wire(), c.wire);
    sim->ClearFaults();
    EXPECT_EQ(asks(), c.after);
  }
  platform::ThreadPort().port.PortOpen(false);
  EXPECT_FALSE(sms.DeliveryReportOn());
  EXPECT_FALSE(sms.DeliveryReportOff());
}

// Reference 12 to +447700900001, delivered; taken 24/05/01,09:30:00+04, discharged
// 24/05/01,09:30:02-20 (a zone west of Greenwich).
const std::string kReport = "0791447758100650060C0C91447700090010425010900300404250109003200A00";
const std::string kListed = "AT+CMGF=1\rAT+CPMS=\"SR\"\rAT+CMGL=\"ALL\"\r";

// The report properties in one text; Old() sets them to "old" and DRStatus to 7.
std::string DR(const SMS& sms) {
  return sms.DRMsgRef() + " " + sms.DRMNRecipient() + " " + sms.DRRDate() + " " + sms.DRRTime() +
         " " + sms.DRFDate() + " " + sms.DRFTime() + " " + sms.DRStatusText();
}
void Old(SMS& sms) {
  SetOld(sms, {&SMS::DRMsgRef, &SMS::DRMNRecipient, &SMS::DRRDate, &SMS::DRRTime, &SMS::DRFDate,
               &SMS::DRFTime});
  sms.DRStatus(7);
}
std::string Taken(const std::string& i) {
  return kListed + "AT+CMGR=\"" + i + "\"\rAT+CMGD=" + i + "\r\rAT+CPMS=\"SM\"\rAT+CMGF=0\r";
}

// The simulator's own answers (at index 2 and 0, echoed), then as other modems write them.
TEST_F(Reports, FieldsAsTheModemWritesThem) {
  const std::string head = "\"REC READ\",6,12,\"+447700900001\",145,";
  const std::string stamps = "\"09/03/01,12:34:56+32\",\"09/03/02,01:02:03+32\",";
  const std::string fields = "12 +447700900001 09/03/01 12:34:56 09/03/02 01:02:03 ";
  const std::string own = "12 +447700900001 24/05/01 09:30:00 24/05/01 09:30:02 ";
  struct Case {
    std::string answer;  // after "+CMGR: "; empty: the simulator's own
    std::string fields;
    const char* status;  // as DRStatus is kept
    int index = 1;
    bool echo = false;
  } cases[] = {
      {"", own, "1", 2, true},
      {"", own, "1", 0, true},
      {head + stamps + "0", fields, "1"},
      {head + stamps + "48", fields, "0"},
      {head + stamps + "32", fields, "2"},
      {head + stamps + "64", fields, "2"},
      {head + stamps + "00", fields, "2"},
      {head + stamps + " 0 ", fields, "1"},
      {head + stamps, fields, "2"},
      {"\"REC READ\",6,12,,," + stamps + "0", "12 " + fields.substr(16), "1"},
      {head + "\"09/03/01,12:34:56-08\",\"09/03/02,01:02:03\",0", fields, "1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    Restart({.echo = c.echo,
             .first_index = c.index,
             .sr = {{c.index, MessageStatus::ReceivedUnread, kReport}}});
    if (!c.answer.empty())
      sim->SetFault("AT+CMGR", {.literal = "\r\n+CMGR: " + c.answer + "\r\n\r\nOK\r\n"});
    Old(sms);
    EXPECT_TRUE(sms.GetDeliveryReport());
    EXPECT_EQ(Wire(), Taken(std::to_string(c.index)));
    EXPECT_EQ(DR(sms), c.fields + c.status);
    EXPECT_TRUE(sim->Messages("SR").empty());
  }
}

// A report that cannot be cut (a blank where its time has a comma) stays stored and leaves
// the properties alone; later calls pass over exactly that report to the ones behind it.
TEST_F(Reports, OneThatCannotBeCutIsPassedOver) {
  const auto numbered = [](int index, const char* reference) {
    return modemsim::StoredMessage{index, MessageStatus::ReceivedUnread,
                                   kReport.substr(0, 18) + reference + kReport.substr(20)};
  };
  Restart({.sr = {numbered(1, "15"), numbered(2, "16"), numbered(3, "17")}});
  sim->SetFault("AT+CMGR=\"1\"", {.literal = "\r\n+CMGR: \"REC READ\",6,21,\"+447700900001\",145,"
                                             "\"09/03/01 12:34:56+32\",\"09/03/02,01:02:03+32\",0"
                                             "\r\n\r\nOK\r\n"});
  const std::string rest = " +447700900001 24/05/01 09:30:00 24/05/01 09:30:02 1";
  const std::string restore = "AT+CMGF=0\rAT+CPMS=\"SM\"\r";
  const struct {
    bool result;
    std::string wire, properties;
  } calls[] = {
      {false, kListed + "AT+CMGR=\"1\"\r" + restore, "old old old old old old 7"},
      {true, Taken("2"), "22" + rest},
      {true, Taken("3"), "23" + rest},
      {false, kListed + restore, "23" + rest},
  };
  Old(sms);
  for (const auto& c : calls) {
    SCOPED_TRACE(c.wire);
    EXPECT_EQ(sms.GetDeliveryReport(), c.result);
    EXPECT_EQ(Wire(), c.wire);
    EXPECT_EQ(DR(sms), c.properties);
  }
  ASSERT_EQ(sim->Messages("SR").size(), 1u);
  EXPECT_EQ(sim->Messages("SR")[0].index, 1);
  Restart({.sr = {numbered(1, "18")}});  // another report at that index is read
  EXPECT_TRUE(sms.GetDeliveryReport());
  EXPECT_EQ(sms.DRMsgRef(), "24");
}

TEST_F(Reports, EveryExitRestoresPduModeAndTheSimStorage) {
  const std::string restore = "AT+CMGF=0\rAT+CPMS=\"SM\"\r";
  const std::string read = kListed + "AT+CMGR=\"1\"\r";
  const std::string done = read + "AT+CMGD=1\r\rAT+CPMS=\"SM\"\rAT+CMGF=0\r";
  struct Case {
    const char* fault_on;
    Fault fault;
    std::string wire;
    bool result = false;
    bool stored = true;
    bool report = true;
  } cases[] = {
      {"AT+CMGF=1", kError, "AT+CMGF=1\rAT+CMGF=0\r"},
      {"AT+CPMS=\"SR\"", kError, "AT+CMGF=1\rAT+CPMS=\"SR\"\rAT+CMGF=0\r"},
      {"AT+CMGL", kError, kListed + restore},
      {"AT+NONE", {}, kListed + restore, false, false, false},
      {"AT+CMGR", {.literal = "\r\n+CMS ERROR: 321\r\n"}, read + restore},
      {"AT+CMGR", {.literal = "\r\nOK\r\n"}, read + restore},
      {"AT+CMGL", {.literal = "\r\n+CMGL: x,\r\nOK\r\n"}, kListed + restore},
      {"AT+CMGD", kError, done, true},
      {"AT+CPMS=\"SM\"", kError, done, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault_on);
    Restart();
    if (c.report) sim->StoreReport({.reference = 12});
    sim->SetFault(c.fault_on, c.fault);
    EXPECT_EQ(sms.GetDeliveryReport(), c.result);
    EXPECT_EQ(Wire(), c.wire);
    EXPECT_EQ(sim->Messages("SR").size(), c.stored ? 1u : 0u);
    sim->ClearFaults();
    EXPECT_EQ(sms.GetDeliveryReport(), c.stored) << "a report left stored is read next time";
    Wire();
  }
  platform::ThreadPort().port.PortOpen(false);
  EXPECT_FALSE(sms.GetDeliveryReport());
  EXPECT_EQ(Wire(), "");
}

}  // namespace
}  // namespace selvarn
