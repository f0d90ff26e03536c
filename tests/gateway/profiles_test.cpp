// The whole round trip through the session on modems with the habits of real families:
// start-up, short, Unicode and long sends to the modem's own number, taking back what
// returns with its status reports, then watching while a queued message goes out and comes
// back. The store's contents and the key bytes on the wire are checked for each habit.
#include <chrono>
#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "modemsim/settings.hpp"
#include "platform/thread_state.hpp"
#include "selvarn/gateway.hpp"
#include "support/files.hpp"
#include "support/sim_port.hpp"

namespace selvarn {
namespace profiles_rt {

// Qualified: a fixture of this folder's other tests is also called Gateway.
using HabitGateway = ::selvarn::Gateway;
using namespace std::chrono_literals;

const std::string kOwn = "+447700900123";
const std::string kFriend = "+447700900001";
const std::string kGreek = "\xCE\x9A\xCE\xB1\xCE\xBB\xCE\xB7";  // Καλη
const std::string kLong(200, 'x');                              // two parts
// "hello" to kOwn asking for a report: the command, then the PDU after the prompt.
const std::string kHelloWire = "AT+CMGS=18\r\r0021000C91447700091032000005E8329BFD06\x1a\r";

struct Row {
  const char* profile;
  std::vector<std::pair<const char*, const char*>> settings{};  // test-sized timings
  std::string heard{};   // bytes the modem must have sent on the way
  std::string absent{};  // bytes it must never have sent
};

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class ProfileRoundTrip : public testing::SimulatedModem {
 protected:
  void Run(const Row& row) {
    SCOPED_TRACE(row.profile);
    modemsim::ModemState state;
    modemsim::ApplyProfile(state, row.profile);
    for (const auto& [name, value] : row.settings) modemsim::ApplySetting(state, name, {value});
    sim = std::make_unique<modemsim::Simulator>(
        modemsim::Options{.port_folder = ports.path(), .modem = state});
    sim->StoreMessage({.sender = kFriend, .text = "waiting"});
    HabitGateway gw({.device = sim->device_path(),
                     .store = dir.path + "/" + std::to_string(++runs) + ".db",
                     .sweep = 600s});
    ASSERT_EQ(gw.Open(), ModemStatus::OK) << gw.LastStart().detail;
    std::string said;        // everything the modem sent
    const auto wire = [&] {  // what it was sent since the last call
      said += sim->Sent();
      std::string received = sim->Received();
      sim->ClearTranscript();
      return received;
    };
    const std::string opened = wire();
    EXPECT_TRUE(opened.ends_with("AT+CNMI=2,1,0,2,0\rAT+CPMS?\r")) << opened;
    EXPECT_TRUE(gw.Registered());
    EXPECT_EQ(wire(), "AT+CREG?\r");

    // What waited before the start-up, unannounced, in the memory the modem named.
    const std::string mem = state.mem3;
    EXPECT_EQ(gw.TakeAll().parts, 1);
    const std::string first = std::to_string(state.first_index);
    const std::string waited = wire();
    EXPECT_NE(waited.find("AT+CPMS=\"" + mem + "\"\rAT+CMGL=4\rAT+CMGD=" + first + "\r"),
              std::string::npos)
        << waited;
    const std::vector<store::Message> waiting = gw.Store().NewMessages();
    ASSERT_EQ(waiting.size(), 1u);
    EXPECT_EQ(waiting[0].sender + " " + waiting[0].Text(), kFriend + " waiting");
    gw.Store().MarkHandedOut(waiting[0].id);

    // Sends: one part, one in UCS2, two parts; each recorded as taken.
    std::vector<std::int64_t> ids;
    std::vector<std::vector<int>> references;
    for (const std::string& text : {std::string("hello"), kGreek, kLong}) {
      const store::SendOutcome out = gw.Send({.number = kOwn, .text = text});
      ASSERT_TRUE(out.record.has_value());
      EXPECT_EQ(out.record->send_state, store::SendState::Sent) << out.record->error;
      ids.push_back(out.id);
      references.push_back(out.references);
    }
    EXPECT_EQ(references, (std::vector<std::vector<int>>{{1}, {2}, {3, 4}}));
    const std::string sends = wire();
    EXPECT_TRUE(sends.starts_with(kHelloWire)) << sends;
    EXPECT_EQ(Count(sends, "AT+CMGS="), 4);
    EXPECT_EQ(Count(sends, "\x1a\r"), 4);
    EXPECT_NE(sends.find("050003"), std::string::npos) << "the long text's concatenation element";

    // Four parts back and four reports, stored in the modem's memories; take them all.
    for (int i = 0; i < 300 && sim->Messages(mem).size() + sim->Messages("SR").size() < 8; ++i) {
      std::this_thread::sleep_for(10ms);
    }
    const TakeAllResult taken = gw.TakeAll();
    EXPECT_EQ(taken.parts, 4);
    EXPECT_EQ(taken.reports, 4);
    EXPECT_EQ(taken.quarantined + taken.left, 0);
    EXPECT_FALSE(taken.stuck || taken.unlisted);
    EXPECT_TRUE(taken.warnings.empty()) << taken.warnings.front();
    const std::string take = wire();
    EXPECT_EQ(Count(take, "AT+CMGD="), 8) << take;
    EXPECT_NE(take.find("AT+CMGD=" + first + "\r"), std::string::npos) << take;
    EXPECT_TRUE(sim->Messages(mem).empty() && sim->Messages("SR").empty());

    std::vector<std::string> got;
    for (const store::Message& m : gw.Store().NewMessages()) {
      EXPECT_EQ(m.sender, kOwn);
      EXPECT_TRUE(m.Complete());
      got.push_back(m.Text());
      gw.Store().MarkHandedOut(m.id);
    }
    EXPECT_EQ(got, (std::vector<std::string>{"hello", kGreek, kLong}));
    for (const std::int64_t id : ids) {
      EXPECT_EQ(gw.Store().Sent(id)->state, store::DeliveryState::Delivered) << id;
    }
    for (const store::StoredReport& r : gw.Store().NewReports()) {
      gw.Store().MarkReportHandedOut(r.id);
    }

    // Watching: a queued message goes out; it comes back to the message handler and its
    // report to the report handler. Fake time bounds the wait on a failure.
    const std::int64_t queued = gw.Enqueue({.number = kOwn, .text = "watched"});
    const std::int64_t start = clock.NowMs();
    clock.on_sleep = [&](std::int64_t now) {
      if (now - start > 300'000) gw.Stop();
    };
    std::vector<std::string> watched;
    std::vector<std::int64_t> sent, reported;
    gw.Watch({.message =
                  [&](const store::Message& m) {
                    watched.push_back(m.Text());
                    if (!reported.empty()) gw.Stop();
                  },
              .report =
                  [&](const store::StoredReport& r, const store::ReportResult&) {
                    reported.push_back(r.sent_id.value_or(0));
                    if (!watched.empty()) gw.Stop();
                  },
              .sent = [&](const store::SendOutcome& out) { sent.push_back(out.id); }});
    clock.on_sleep = {};
    EXPECT_LT(clock.NowMs() - start, 300'000) << "taken on their notices";
    EXPECT_EQ(sent, std::vector<std::int64_t>{queued});
    EXPECT_EQ(watched, std::vector<std::string>{"watched"});
    EXPECT_EQ(reported, std::vector<std::int64_t>{queued});
    EXPECT_EQ(gw.Store().Sent(queued)->state, store::DeliveryState::Delivered);
    EXPECT_TRUE(gw.Store().NewMessages().empty() && gw.Store().NewReports().empty());

    sim->SetRegistration(0, 0);  // searching no more, not registered
    EXPECT_FALSE(gw.Registered());

    said += sim->Sent();
    EXPECT_NE(said.find(row.heard), std::string::npos) << row.heard;
    if (!row.absent.empty()) {
      EXPECT_EQ(said.find(row.absent), std::string::npos) << row.absent;
    }
    if (HasFailure()) std::cerr << sim->PrintableTranscript();
  }

  // The one real-time case: the network's full 8 s before +CMGS, with the session's default
  // wait for each part. A thread of its own keeps the real clock (and a port of its own),
  // so it runs beside the table.
  void SlowNetworkAsItIs() {
    SlowSend();
    platform::ResetThreadState();  // the thread's port, whatever SlowSend asserted
  }
  void SlowSend() {
    modemsim::Simulator slow(
        {.port_folder = ports.path(), .port = 50, .profiles = {"slow-network"}});
    HabitGateway gw({.device = slow.device_path(), .store = dir.path + "/slow.db"});
    ASSERT_EQ(gw.Open(), ModemStatus::OK) << gw.LastStart().detail;
    slow.ClearTranscript();
    const auto start = std::chrono::steady_clock::now();
    const store::SendOutcome out = gw.Send({.number = kOwn, .text = "hello"});
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(out.record.has_value());
    EXPECT_EQ(out.record->send_state, store::SendState::Sent) << out.record->error;
    EXPECT_EQ(out.references, std::vector<int>{1});
    EXPECT_EQ(slow.Received(), kHelloWire);
    EXPECT_GE(took, 8s);
  }

  testing::TempDir dir;
  int runs = 0;  // a fresh store for each
};

TEST_F(ProfileRoundTrip, EveryHabitOfRealModems) {
  const Row rows[] = {
      {"startup-notices", {{"startup-notices", "100"}}, "\r\nSMS Ready\r\n"},
      // Notices every 20 ms, between the lines of answers too; then on a slow network,
      // while the answer to a message waits.
      {"signal-notices", {{"notices", "20"}}, "\r\n+CIEV: 2,3\r\n"},
      {"signal-notices", {{"notices", "20"}, {"cmgs-delay", "150"}}, "\r\n+CREG: 1\r\n"},
      {"me-storage", {}, "\r\n+CMTI: \"ME\",1\r\n"},
      {"zero-index", {}, "\r\n+CMTI: \"SM\",0\r\n"},
      {"alpha-listing", {}, "\r\n+CMGL: 1,0,\"\","},
      {"bare-prompt", {}, "\r\n>", "> "},
      {"echo-off", {}, "\r\nOK\r\n", "AT+CMGS"},
      // The network's delay is real time on the simulator's side: test-sized here.
      {"slow-network", {{"cmgs-delay", "150"}}, "\r\n+CMGS: "},
      // Every habit at once.
      // clang-format off
      {"me-storage", {{"first-index", "0"}, {"alpha-field", "on"}, {"prompt-space", "off"}, {"echo", "off"},
                      {"notices", "20"}, {"startup-notices", "100"}, {"cmgs-delay", "150"}},
       "\r\n+CMTI: \"ME\",0\r\n", "AT+CMGS"},
      // clang-format on
  };
  std::thread slow([this] { SlowNetworkAsItIs(); });
  for (const Row& row : rows) Run(row);
  slow.join();
}

// A full memory is taken whole however the modem numbers it: its last entry is at the
// capacity on a modem counting from 1, one below on one counting from 0.
TEST_F(ProfileRoundTrip, AFullMemoryIsTakenWholeFromEitherFirstIndex) {
  for (const char* first : {"1", "0"}) {
    SCOPED_TRACE(first);
    modemsim::ModemState state;
    modemsim::ApplySetting(state, "capacity", {"3"});
    modemsim::ApplySetting(state, "first-index", {first});
    sim = std::make_unique<modemsim::Simulator>(
        modemsim::Options{.port_folder = ports.path(), .modem = state});
    for (const char* text : {"one", "two", "three"}) sim->StoreMessage({.text = text});
    HabitGateway gw({.device = sim->device_path(), .store = dir.path + "/full" + first + ".db"});
    ASSERT_EQ(gw.Open(), ModemStatus::OK) << gw.LastStart().detail;
    sim->ClearTranscript();
    const TakeAllResult taken = gw.TakeAll();
    EXPECT_EQ(taken.parts, 3);
    EXPECT_TRUE(taken.warnings.empty()) << taken.warnings.front();
    const int last = state.first_index + 2;
    EXPECT_NE(sim->Received().find("AT+CMGD=" + std::to_string(last) + "\r"), std::string::npos)
        << sim->Received();
    EXPECT_TRUE(sim->Messages("SM").empty());
    gw.Close();
    EXPECT_FALSE(gw.Registered()) << "closed";
  }
}

}  // namespace profiles_rt
}  // namespace selvarn
