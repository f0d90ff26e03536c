// The receive hook bound to the message store, end to end through the simulated modem:
// whole messages out of parts in any order, reports matched to what was sent, and a store
// that cannot be written leaving everything on the SIM.
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "messaging/fixture.hpp"
#include "store/receive_binding.hpp"

namespace selvarn {
namespace {

using store::MessageStore;
using store::PartOutcome;
using store::ReceiveBinding;

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
    path = log_folder + "/messages.db";
  }
  MessageStore Open(int busy_ms = 5000) {
    MessageStore::Options o;
    o.incomplete_after = 0;
    o.busy_timeout_ms = busy_ms;
    return MessageStore(path, o);
  }
  std::string path;
};

TEST_F(Binding, LongUnicodeRoundTripAndItsReports) {
  MessageStore store = Open();
  ReceiveBinding binding(store);
  sms.SetReceiveHook(binding.Hook());
  ASSERT_TRUE(sms.SendLongUnicode(kOwn, kLong, 42));
  ASSERT_EQ(sms.SentReferences().size(), 3u);
  const auto id = store.RecordSent({.recipient = kOwn,
                                    .text = kLong,
                                    .coding = store::Coding::Ucs2,
                                    .references = sms.SentReferences()});
  AwaitStored("SM", 3);
  AwaitStored("SR", 3);

  int read = 0;
  while (sms.ReadSMS()) ++read;
  EXPECT_EQ(read, 3);
  const auto messages = store.NewMessages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].Text(), kLong);
  EXPECT_EQ(messages[0].concat->reference, 42);

  while (sms.GetDeliveryReport()) {
    ASSERT_TRUE(binding.LastReport());
    EXPECT_EQ(binding.LastReport()->sent_id, id);
  }
  EXPECT_EQ(store.Sent(id)->state, store::DeliveryState::Delivered);
  EXPECT_TRUE(sim->Messages("SM").empty());
  EXPECT_TRUE(sim->Messages("SR").empty());
}

TEST_F(Binding, PartsInAnyOrderWithADuplicate) {
  MessageStore store = Open();
  ReceiveBinding binding(store);
  sms.SetReceiveHook(binding.Hook());
  sim->Deliver({.text = kLong, .coding = modemsim::Coding::Ucs2, .order = {3, 1, 1, 2}});
  AwaitStored("SM", 4);
  std::vector<PartOutcome> outcomes;
  std::vector<int> sequences;
  while (sms.ReadSMS()) {
    outcomes.push_back(binding.LastPart()->outcome);
    sequences.push_back(sms.ReadConcatenation()->sequence);
  }
  EXPECT_EQ(sequences, (std::vector<int>{3, 1, 1, 2}));
  EXPECT_EQ(outcomes, (std::vector<PartOutcome>{PartOutcome::Stored, PartOutcome::Stored,
                                                PartOutcome::Duplicate, PartOutcome::Stored}));
  EXPECT_TRUE(binding.LastPart()->complete);
  const auto messages = store.NewMessages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].Text(), kLong);
}

// A UCS2 part from +447700900001 with the 8-bit concatenation element.
std::string Part(int reference, int total, int sequence, const std::string& units_hex) {
  char head[64];
  std::snprintf(head, sizeof head, "%02X050003%02X%02X%02X",
                static_cast<unsigned>(6 + units_hex.size() / 2), static_cast<unsigned>(reference),
                static_cast<unsigned>(total), static_cast<unsigned>(sequence));
  return "07914477581006504"
         "40C91447700090010000842102001112140" +
         std::string(head) + units_hex;
}

TEST_F(Binding, BadPartsFromTheModemNeverSpoilAStoredMessage) {
  MessageStore store = Open();
  ReceiveBinding binding(store);
  sms.SetReceiveHook(binding.Hook());
  for (const std::string& pdu :
       {Part(5, 2, 1, "00410041"), Part(5, 2, 0, "005A"), Part(5, 2, 3, "005A"),
        Part(5, 0, 1, "005A"), Part(5, 2, 1, "00420042"), Part(5, 2, 2, "00430043")}) {
    sim->StorePdu("SM", pdu);
  }
  while (sms.ReadSMS()) {
  }
  EXPECT_TRUE(sim->Messages("SM").empty());
  std::vector<std::string> texts;
  for (const auto& m : store.Inbox()) {
    texts.push_back(m.Text() + (m.Complete() ? "" : "*") +
                    (m.conflicts.empty() ? "" : "!" + m.conflicts[0].text));
  }
  std::sort(texts.begin(), texts.end());
  EXPECT_EQ(texts, (std::vector<std::string>{"AACC!BB", "Z", "Z", "Z"}));
}

TEST_F(Binding, AStoreThatCannotBeWrittenLeavesTheMessageOnTheSim) {
  struct Case {
    const char* name;
    const char* error;
  } cases[] = {{"held by another program", "locked"}, {"disk full", "disk I/O error"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(path);
    Restart();
    MessageStore store = Open(50);
    ReceiveBinding binding(store);
    sms.SetReceiveHook(binding.Hook());
    sim->StoreMessage({.text = "keep me"});
    Wire();

    sqlite3* other = nullptr;
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
    if (std::string(c.name) == "disk full") {
      signal(SIGXFSZ, SIG_IGN);
      const rlimit full{0, before.rlim_max};
      setrlimit(RLIMIT_FSIZE, &full);
    } else {
      ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
      ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    const bool read = sms.ReadSMS();
    setrlimit(RLIMIT_FSIZE, &before);
    if (other != nullptr) sqlite3_close(other);

    EXPECT_FALSE(read);
    EXPECT_EQ(Wire().find("AT+CMGD"), std::string::npos);
    EXPECT_EQ(sim->Messages("SM").size(), 1u);
    EXPECT_NE(binding.LastError().find(path), std::string::npos) << binding.LastError();
    EXPECT_NE(binding.LastError().find(c.error), std::string::npos) << binding.LastError();
    EXPECT_FALSE(binding.LastPart());

    // Once the store can be written again the same message goes through.
    EXPECT_TRUE(sms.ReadSMS());
    EXPECT_EQ(binding.LastError(), "");
    EXPECT_EQ(store.NewMessages().at(0).Text(), "keep me");
  }
}

}  // namespace
}  // namespace selvarn
