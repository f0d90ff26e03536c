// The receive hook: what it is given, that a declined message or report stays stored, and
// the hook bound to the message store end to end (reassembly itself is the store's test).
#include <signal.h>
#include <sys/resource.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "messaging/fixture.hpp"
#include "store/receive_binding.hpp"

namespace selvarn {
namespace {

using store::MessageStore;
using store::ReceiveBinding;
using Hook = testing::Messaging;

const std::string kReadWire = "AT+CPMS=\"SM\"\rAT+CMGL=\"4\"\r\rAT+CMGL=\"1\"\r\rAT+CMGR=1\r";
const std::string kReportWire = "AT+CMGF=1\rAT+CPMS=\"SR\"\rAT+CMGL=\"ALL\"\rAT+CMGR=\"1\"\r";

// "hi" in UCS2 from +447700900001 at 24/01/02,10:11:12+04: the first octet, then the
// user data with its length.
std::string Deliver(const char* first, const char* ud) {
  return std::string("0791447758100650") + first + "0C9144770009001000084210200111214" + "0" + ud;
}

// A hook that declines or throws leaves the message or report stored and the modem
// restored; one that accepts changes nothing on the wire. Fields that cannot be handed to
// the hook decline the report without it.
TEST_F(Hook, WhatTheHookAnswersDecidesTheDeletion) {
  const std::string deleted = "AT+CMGD=1\r\r", restore = "AT+CMGF=0\rAT+CPMS=\"SM\"\r";
  const std::string stamps = "\"24/01/02,10:11:12+04\",\"24/01/02,10:11:20+04\",";
  const auto read = [&](const char* reference, const char* status) {
    return "\r\n+CMGR: \"REC UNREAD\",6," + std::string(reference) + ",\"+4477\",145," + stamps +
           status + "\r\n\r\nOK\r\n";
  };
  struct Case {
    bool message;
    int answer;  // 0 false, 1 true, 2 throws
    std::string wire;
    std::optional<std::string> report{};  // the modem's answer to the report's read
  } cases[] = {
      {true, 1, kReadWire + deleted},
      {true, 0, kReadWire},
      {true, 2, kReadWire},
      {false, 1, kReportWire + deleted + "AT+CPMS=\"SM\"\rAT+CMGF=0\r"},
      {false, 0, kReportWire + restore},
      {false, 2, kReportWire + restore},
      {false, 1, kReportWire + restore, read("12", "x")},
      {false, 1, kReportWire + restore, read("256", "0")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.wire);
    Restart();
    sim->StoreMessage({.text = "keep me"});
    sim->StoreReport({.reference = 9});
    if (c.report) sim->SetFault("AT+CMGR=\"", {.literal = c.report});
    int calls = 0;
    const auto answer = [&] {
      ++calls;
      if (c.answer == 2) throw std::runtime_error("store is gone");
      return c.answer == 1;
    };
    sms.SetReceiveHook({[&](const ReceivedMessage&) { return answer(); },
                        [&](const ReceivedReport&) { return answer(); }});
    sms.Msg("none");
    Wire();
    bool result = false, threw = false;
    try {
      result = c.message ? sms.ReadSMS() : sms.GetDeliveryReport();
    } catch (const std::runtime_error&) {
      threw = true;
    }
    const bool taken = c.answer == 1 && !c.report;
    EXPECT_EQ(result, taken);
    EXPECT_EQ(threw, c.message && c.answer == 2) << "a report's exits trap every error";
    EXPECT_EQ(calls, c.report ? 0 : 1);
    EXPECT_EQ(Wire(), c.wire);
    EXPECT_EQ(sim->Messages(c.message ? "SM" : "SR").size(), taken ? 0u : 1u);
    EXPECT_EQ(sms.Msg(), c.message ? "keep me" : "none");
  }
}

TEST_F(Hook, TheHookSeesWhatWasDecoded) {
  EXPECT_EQ(sms.ReadConcatenation(), std::nullopt);
  struct Case {
    const char* name;
    std::string pdu;
    std::optional<Concatenation> concat;
  } cases[] = {
      {"16-bit element", Deliver("44", "0B060804ABCD030200680069"),
       Concatenation{0xABCD, 16, 3, 2}},
      {"8-bit element", Deliver("44", "0A050003FE020100680069"), Concatenation{0xFE, 8, 2, 1}},
      {"no header", Deliver("04", "0400680069"), std::nullopt},
  };
  for (const auto& c : cases) {
    Restart();
    sim->StorePdu("SM", c.pdu);
    std::optional<ReceivedMessage> seen;
    sms.SetReceiveHook({.message = [&](const ReceivedMessage& m) {
      seen = m;
      return true;
    }});
    ASSERT_TRUE(sms.ReadSMS()) << c.name;
    ASSERT_TRUE(seen) << c.name;
    EXPECT_EQ(std::to_string(seen->index) + " " + seen->sender + " " + seen->smsc + " " +
                  seen->scts + " " + seen->text + " " + std::to_string(seen->dcs),
              "1 +447700900001 +447785016005 24/01/02,10:11:12+04 hi 8");
    EXPECT_EQ(seen->pdu, c.pdu);
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
  EXPECT_EQ(std::to_string(report->index) + " " + std::to_string(report->reference) + " " +
                report->recipient + " " + report->submitted + " " + report->discharged + " " +
                std::to_string(report->status),
            "1 77 +447700900002 24/01/02,10:11:12+04 24/01/03,09:00:00+08 64");
  EXPECT_EQ(sms.DRStatus(), DeliveryStatus::Unknown);
}

const std::string kOwn = "+447700900123";
// Greek with an emoji across the first part's end: 3 parts.
const std::string kLong = [] {
  std::string t;
  for (int i = 0; i < 66; ++i) t += "\xce\xb1";
  t += "\xf0\x9f\x98\x80";
  for (int i = 0; i < 80; ++i) t += "\xcf\x89";
  return t;
}();

class Binding : public testing::Messaging {
 protected:
  void SetUp() override {
    Messaging::SetUp();
    store.emplace(log_folder + "/messages.db", MessageStore::Options{.incomplete_after = 0});
    binding.emplace(*store);
    sms.SetReceiveHook(binding->Hook());
  }
  void TearDown() override {
    binding.reset();
    store.reset();
    Messaging::TearDown();
  }
  std::optional<MessageStore> store;
  std::optional<ReceiveBinding> binding;
};

TEST_F(Binding, LongUnicodeRoundTripAndItsReports) {
  ASSERT_TRUE(sms.SendLongUnicode(kOwn, kLong, 42));
  ASSERT_EQ(sms.SentReferences().size(), 3u);
  const auto id = store->RecordSent({.recipient = kOwn,
                                     .text = kLong,
                                     .coding = store::Coding::Ucs2,
                                     .references = sms.SentReferences()});
  AwaitStored("SM", 3);
  AwaitStored("SR", 3);

  // A part, the reports, the other parts: each call leaves its own result only.
  ASSERT_TRUE(sms.ReadSMS());
  while (sms.GetDeliveryReport()) {
    EXPECT_FALSE(binding->LastPart());
    ASSERT_TRUE(binding->LastReport());
    EXPECT_EQ(binding->LastReport()->sent_id, id);
  }
  while (sms.ReadSMS()) {
    EXPECT_FALSE(binding->LastReport());
  }
  EXPECT_TRUE(binding->LastPart()->complete);
  const auto messages = store->NewMessages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].Text(), kLong);
  EXPECT_EQ(messages[0].concat->reference, 42);
  EXPECT_EQ(store->Sent(id)->state, store::DeliveryState::Delivered);
  EXPECT_TRUE(sim->Messages("SM").empty());
  EXPECT_TRUE(sim->Messages("SR").empty());
}

TEST_F(Binding, AStoreThatCannotBeWrittenLeavesMessageAndReportOnTheSim) {
  sim->StoreMessage({.text = "keep me"});
  sim->StoreReport({.reference = 9});
  Wire();
  rlimit before{};
  getrlimit(RLIMIT_FSIZE, &before);
  signal(SIGXFSZ, SIG_IGN);
  const rlimit full{0, before.rlim_max};  // as good as a full disk
  setrlimit(RLIMIT_FSIZE, &full);
  const bool read = sms.ReadSMS();
  const std::string error = binding->LastError();
  const bool part = binding->LastPart().has_value();
  const bool report = sms.GetDeliveryReport();
  setrlimit(RLIMIT_FSIZE, &before);
  EXPECT_FALSE(read);
  EXPECT_FALSE(report);
  EXPECT_EQ(Wire().find("AT+CMGD"), std::string::npos);
  EXPECT_EQ(sim->Messages("SM").size() + sim->Messages("SR").size(), 2u);
  EXPECT_NE(error.find(log_folder + "/messages.db"), std::string::npos) << error;
  EXPECT_NE(error.find("disk I/O error"), std::string::npos) << error;
  EXPECT_NE(binding->LastError().find("disk I/O error"), std::string::npos);
  EXPECT_FALSE(part);
  // Once the store can be written again the same message goes through.
  EXPECT_TRUE(sms.ReadSMS());
  EXPECT_EQ(binding->LastError(), "");
  EXPECT_EQ(store->NewMessages().at(0).Text(), "keep me");
}

}  // namespace
}  // namespace selvarn
