// The receive hook: what it is given, and that a declined message or report stays stored.
#include <cstdio>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "messaging/fixture.hpp"

namespace selvarn {
namespace {

using modemsim::Fault;
using modemsim::MessageStatus;
using Hook = testing::Messaging;

const std::string kReadWire = "AT+CPMS=\"SM\"\rAT+CMGL=\"4\"\r\rAT+CMGL=\"1\"\r\rAT+CMGR=1\r";
const std::string kReportWire = "AT+CMGF=1\rAT+CPMS=\"SR\"\rAT+CMGL=\"ALL\"\rAT+CMGR=\"1\"\r";

// A UCS2 SMS-DELIVER from +447700900001 at 24/01/02,10:11:12+04 with the user-data header
// given (without its length octet) and the text "hi".
std::string DeliverWithHeader(const std::string& header) {
  const auto octet = [](std::size_t v) {
    char buf[3];
    std::snprintf(buf, sizeof buf, "%02X", static_cast<unsigned>(v));
    return std::string(buf);
  };
  const std::size_t udhl = header.size() / 2;
  const std::string ud = header.empty() ? "" : octet(udhl) + header;
  return std::string("0791447758100650") + (header.empty() ? "04" : "44") +
         "0C9144770009001000084210200111214" + "0" + octet(ud.size() / 2 + 4) + ud + "00680069";
}

TEST_F(Hook, AnAlwaysTrueHookChangesNothingOnTheWire) {
  std::string plain_read, plain_report;
  for (const bool hooked : {false, true}) {
    // One object: releasing one closes the thread's port.
    SMS& reader = sms;
    int calls = 0;
    if (hooked) {
      reader.SetReceiveHook({[&](const ReceivedMessage&) { return ++calls > 0; },
                             [&](const ReceivedReport&) { return ++calls > 0; }});
    }
    sim->StoreMessage({.text = "hello"});
    sim->StoreReport({.reference = 5});
    Wire();
    EXPECT_TRUE(reader.ReadSMS());
    const std::string read = Wire();
    EXPECT_TRUE(reader.GetDeliveryReport());
    const std::string report = Wire();
    if (!hooked) {
      plain_read = read;
      plain_report = report;
    } else {
      EXPECT_EQ(read, plain_read);
      EXPECT_EQ(report, plain_report);
      EXPECT_EQ(calls, 2);
    }
    EXPECT_TRUE(sim->Messages("SM").empty());
    EXPECT_TRUE(sim->Messages("SR").empty());
  }
  EXPECT_EQ(plain_read, kReadWire + "AT+CMGD=1\r\r");
}

TEST_F(Hook, ADeclinedMessageStaysOnTheSim) {
  struct Case {
    const char* name;
    bool throws;
  } cases[] = {{"false", false}, {"exception", true}};
  for (const auto& c : cases) {
    Restart();
    sim->StoreMessage({.text = "keep me"});
    sms.SetReceiveHook({.message = [&](const ReceivedMessage&) -> bool {
      if (c.throws) throw std::runtime_error("store is gone");
      return false;
    }});
    if (c.throws) {
      EXPECT_THROW(sms.ReadSMS(), std::runtime_error) << c.name;
    } else {
      EXPECT_FALSE(sms.ReadSMS()) << c.name;
    }
    EXPECT_EQ(Wire(), kReadWire) << c.name;
    EXPECT_EQ(sms.Msg(), "keep me") << c.name;
    EXPECT_EQ(sim->Messages("SM").size(), 1u) << c.name;
  }
  sms.SetReceiveHook({});
  EXPECT_TRUE(sms.ReadSMS());
  EXPECT_TRUE(sim->Messages("SM").empty());
}

TEST_F(Hook, ADeclinedReportStaysStoredAndTheModemIsRestored) {
  const std::string restore = "AT+CMGF=0\rAT+CPMS=\"SM\"\r";
  struct Case {
    const char* name;
    int answer;  // 0 false, 1 true, 2 throws
    Fault fault{};
    bool called = true;
  } cases[] = {
      {"false", 0},
      {"exception", 2},
      {"status that is no number",
       1,
       {.literal = "\r\n+CMGR: \"REC UNREAD\",6,12,\"+4477\",145,\"24/01/02,10:11:12+04\","
                   "\"24/01/02,10:11:20+04\",x\r\n\r\nOK\r\n"},
       false},
      {"reference that is no octet",
       1,
       {.literal = "\r\n+CMGR: \"REC UNREAD\",6,256,\"+4477\",145,\"24/01/02,10:11:12+04\","
                   "\"24/01/02,10:11:20+04\",0\r\n\r\nOK\r\n"},
       false},
  };
  for (const auto& c : cases) {
    Restart();
    sim->StoreReport({.reference = 9});
    if (c.fault.literal) sim->SetFault("AT+CMGR", c.fault);
    bool called = false;
    sms.SetReceiveHook({.report = [&](const ReceivedReport&) -> bool {
      called = true;
      if (c.answer == 2) throw std::runtime_error("store is gone");
      return c.answer == 1;
    }});
    EXPECT_FALSE(sms.GetDeliveryReport()) << c.name;
    EXPECT_EQ(called, c.called) << c.name;
    EXPECT_EQ(Wire(), kReportWire + restore) << c.name;
    EXPECT_EQ(sim->Messages("SR").size(), 1u) << c.name;
  }
}

TEST_F(Hook, TheHookSeesWhatWasDecoded) {
  EXPECT_EQ(sms.ReadConcatenation(), std::nullopt);
  struct Case {
    const char* name;
    std::string header;
    std::optional<Concatenation> concat;
  } cases[] = {
      {"16-bit element", "0804ABCD0302", Concatenation{0xABCD, 16, 3, 2}},
      {"8-bit element", "0003FE0201", Concatenation{0xFE, 8, 2, 1}},
      {"sequence 0 reads as single", "0003FE0200", std::nullopt},
      {"no header", "", std::nullopt},
  };
  for (const auto& c : cases) {
    Restart();
    const std::string pdu = DeliverWithHeader(c.header);
    sim->StorePdu("SM", pdu);
    std::optional<ReceivedMessage> seen;
    sms.SetReceiveHook({.message = [&](const ReceivedMessage& m) {
      seen = m;
      return true;
    }});
    ASSERT_TRUE(sms.ReadSMS()) << c.name;
    ASSERT_TRUE(seen) << c.name;
    EXPECT_EQ(seen->index, 1);
    EXPECT_EQ(seen->sender, "+447700900001");
    EXPECT_EQ(seen->smsc, "+447785016005");
    EXPECT_EQ(seen->scts, "24/01/02,10:11:12+04");
    EXPECT_EQ(seen->text, "hi") << c.name;
    EXPECT_EQ(seen->pdu, pdu);
    EXPECT_EQ(seen->dcs, 8);
    EXPECT_EQ(seen->concat, c.concat) << c.name;
    EXPECT_EQ(sms.ReadConcatenation(), c.concat) << c.name;
  }

  sim->StoreReport({.reference = 77,
                    .recipient = "+447700900002",
                    .status = 64,
                    .submitted = "24/01/02,10:11:12+04",
                    .discharged = "24/01/03,09:00:00+08"});
  sim->StoreReport({.reference = 78});
  std::optional<ReceivedReport> report;
  sms.SetReceiveHook({.report = [&](const ReceivedReport& r) {
    report = r;
    return true;
  }});
  ASSERT_TRUE(sms.GetDeliveryReport());
  ASSERT_TRUE(report);
  EXPECT_EQ(report->index, 1);
  EXPECT_EQ(report->reference, 77);
  EXPECT_EQ(report->recipient, "+447700900002");
  EXPECT_EQ(report->submitted, "24/01/02,10:11:12+04");
  EXPECT_EQ(report->discharged, "24/01/03,09:00:00+08");
  EXPECT_EQ(report->status, 64);
  EXPECT_EQ(sms.DRStatus(), DeliveryStatus::Unknown);
}

}  // namespace
}  // namespace selvarn
