// The watch loop over the simulated modem: what is announced is taken at once, queued
// messages go out before the next sweep, Stop ends it from anywhere, and a second process
// hands a message to the session that holds the port.
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "selvarn/gateway.hpp"
#include "support/errors.hpp"
#include "support/files.hpp"
#include "support/sim_port.hpp"

namespace selvarn {
namespace watch_test {

using WatchedGateway = ::selvarn::Gateway;

using namespace std::chrono_literals;

constexpr auto kLongSweep = 600s;  // never reached in a test that passes
const std::string kFriend = "+447700900001";
// "hello" to kFriend, asking for a status report: AT+CMGS, the PDU after the prompt.
const std::string kHelloWire = "AT+CMGS=18\r\r0021000C91447700090010000005E8329BFD06\x1a\r";
const std::string kHelloUnreportedWire =
    "AT+CMGS=18\r\r0001000C91447700090010000005E8329BFD06\x1a\r";

// Tells the test when the watch first idles: its clock's first wait on descriptors.
class IdleClock : public testing::FakeClock {
 public:
  int Poll(pollfd* fds, std::size_t count, int ms) override {
    if (on_idle) std::exchange(on_idle, {})();
    return FakeClock::Poll(fds, count, ms);
  }
  std::function<void()> on_idle;
};

class Watching : public testing::SimulatedModem {
 protected:
  GatewayOptions Options(std::chrono::seconds sweep = kLongSweep) const {
    return {.port = static_cast<std::int16_t>(sim->port()), .store = store, .sweep = sweep};
  }
  int Count(const std::string& text, const std::string& what) const {
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }
  // The listings one take makes, counted on an empty modem.
  int ListingsPerTake(WatchedGateway& gw) {
    sim->ClearTranscript();
    gw.TakeAll();
    const int n = Count(sim->Received(), "AT+CMGL");
    sim->ClearTranscript();
    return n;
  }

  testing::TempDir dir;
  std::string store = dir.path + "/messages.db";
  IdleClock idle;
  testing::ClockGuard idle_guard{idle};
};

TEST_F(Watching, WhatIsStoredWaitingOrAnnouncedIsHandedOutOnceAndAtOnce) {
  WatchedGateway gw(Options());
  ASSERT_EQ(gw.Open(), ModemStatus::OK);
  const int listings = ListingsPerTake(gw);
  ASSERT_GT(listings, 0);
  store::ReceivedPart stored;
  stored.sender = kFriend;
  stored.text = "stored";
  stored.received_at = 100;
  gw.Store().StorePart(stored);
  sim->StoreMessage({.sender = kFriend, .text = "waiting"});
  // Once it idles: a message handed over whole that does not decode, then one announced.
  idle.on_idle = [&] {
    sim->Send("\r\n+CMT: ,5\r\nZZ\r\n");
    sim->Deliver({.sender = kFriend, .text = "announced"}, 50ms);
  };
  std::vector<std::string> got, warnings;
  const std::int64_t start = idle.NowMs();
  gw.Watch({.message =
                [&](const store::Message& m) {
                  got.push_back(m.Text());
                  if (got.size() == 3) gw.Stop();
                },
            .warning = [&](const std::string& w) { warnings.push_back(w); }});
  EXPECT_EQ(got, (std::vector<std::string>{"stored", "waiting", "announced"}));
  EXPECT_LT(idle.NowMs() - start, 60'000) << "taken on its notice, not at a sweep";
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("+CMT: ,5"), std::string::npos) << warnings[0];
  EXPECT_EQ(Count(sim->Received(), "AT+CMGL"), 2 * listings) << "the first take and the notice's";
  EXPECT_TRUE(gw.Store().NewMessages().empty());
  EXPECT_TRUE(sim->Messages("SM").empty());
}

// A reply queued by the message handler goes out at once; its report reaches the report
// handler matched to it.
TEST_F(Watching, AReplyQueuedWhileWatchingGoesOutAndItsReportComesBack) {
  WatchedGateway gw(Options());
  ASSERT_EQ(gw.Open(), ModemStatus::OK);
  sim->Deliver({.sender = kFriend, .text = "hi"}, 200ms);
  std::int64_t queued = 0;
  std::vector<store::SendOutcome> sent;
  std::vector<std::pair<store::StoredReport, store::ReportResult>> reports;
  const std::int64_t start = clock.NowMs();
  gw.Watch({.message =
                [&](const store::Message&) {
                  queued = gw.Enqueue({kFriend, "hello"});
                },
            .report =
                [&](const store::StoredReport& r, const store::ReportResult& result) {
                  reports.emplace_back(r, result);
                  gw.Stop();
                },
            .sent = [&](const store::SendOutcome& out) { sent.push_back(out); }});
  EXPECT_LT(idle.NowMs() - start, 60'000);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].id, queued);
  ASSERT_EQ(sim->State().submitted.size(), 1u);
  EXPECT_EQ(Count(sim->Received(), kHelloWire), 1);
  const int reference = sim->State().submitted[0].reference;
  EXPECT_EQ(sent[0].references, std::vector<int>{reference});
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].first.report.reference, reference);
  EXPECT_EQ(reports[0].first.sent_id, std::optional<std::int64_t>(queued));
  EXPECT_EQ(reports[0].second.message_state, store::DeliveryState::Delivered);
  const store::SentRecord record = *gw.Store().Sent(queued);
  EXPECT_EQ(record.send_state, store::SendState::Sent);
  EXPECT_EQ(record.state, store::DeliveryState::Delivered);
  EXPECT_TRUE(gw.Store().Queued().empty());
  EXPECT_TRUE(gw.Store().NewReports().empty());
}

WatchedGateway* g_stopped_by_signal = nullptr;
void WatchStopOnSignal(int) { g_stopped_by_signal->Stop(); }

// Stop before Watch, from another thread and from a signal handler; each ends one watch.
TEST_F(Watching, StopEndsTheWatchFromAnywhere) {
  WatchedGateway gw(Options());
  ASSERT_EQ(gw.Open(), ModemStatus::OK);
  g_stopped_by_signal = &gw;
  struct sigaction action {
  }, saved{};
  action.sa_handler = WatchStopOnSignal;
  sigaction(SIGUSR1, &action, &saved);
  const pthread_t watcher = pthread_self();
  const std::pair<const char*, std::function<void()>> cases[] = {
      {"before", [&] { gw.Stop(); }},
      {"thread", [&] { std::this_thread::sleep_for(50ms), gw.Stop(); }},
      {"signal", [&] { std::this_thread::sleep_for(50ms), pthread_kill(watcher, SIGUSR1); }},
  };
  for (const auto& [how, stop] : cases) {
    sim->ClearTranscript();
    std::thread stopper;
    if (std::string(how) == "before") {
      stop();
    } else {
      stopper = std::thread(stop);
    }
    gw.Watch({});
    if (stopper.joinable()) stopper.join();
    // Stopped before it began, it took nothing; else it had taken and was idling.
    EXPECT_EQ(sim->Received().empty(), std::string(how) == "before") << how;
  }
  sigaction(SIGUSR1, &saved, nullptr);
}

TEST_F(Watching, AModemThatGoesAwayEndsTheWatch) {
  WatchedGateway gw(Options());
  ASSERT_EQ(gw.Open(), ModemStatus::OK);
  std::thread unplug([&] {
    std::this_thread::sleep_for(100ms);
    sim.reset();
  });
  EXPECT_EQ(testing::ErrorNumberOf([&] { gw.Watch({}); }), 8010);
  unplug.join();
}

// A message queued with no wake-up (by a program that only writes the store) goes out at the
// next sweep.
TEST_F(Watching, AQueuedMessageNobodyAnnouncedGoesAtTheNextSweep) {
  WatchedGateway gw(Options(60s));
  ASSERT_EQ(gw.Open(), ModemStatus::OK);
  idle.on_idle = [&] {
    store::MessageStore(store).Enqueue({.recipient = kFriend, .text = "hello"});
  };
  std::vector<std::int64_t> sent;
  const std::int64_t start = idle.NowMs();
  gw.Watch({.sent = [&](const store::SendOutcome& out) {
    sent.push_back(out.id);
    gw.Stop();
  }});
  EXPECT_EQ(sent.size(), 1u);
  EXPECT_GE(idle.NowMs() - start, 60'000);
  EXPECT_LT(idle.NowMs() - start, 120'000);
  EXPECT_EQ(Count(sim->Received(), kHelloWire), 1);
}

// Another process hands a message over, naming the store through a link where the
// watcher named it by its real path: nothing is queued while nobody watches; once the
// watcher idles, the message goes out on the wire after everything the watcher did, on
// the record the other process was given.
TEST_F(Watching, AnotherProcessHandsAMessageToTheWatcher) {
  EXPECT_EQ(testing::ErrorNumberOf([&] { HandToWatcher(store, {kFriend, "hello"}); }), 8005);
  EXPECT_TRUE(store::MessageStore(store).Outbox().empty()) << "nothing queued";

  WatchedGateway gw(Options());
  ASSERT_EQ(gw.Open(), ModemStatus::OK);
  sim->ClearTranscript();
  std::string before_idle;
  pid_t child = 0;
  int status = -1;
  const std::string id_file = dir.path + "/id";
  idle.on_idle = [&] {
    before_idle = sim->Received();
    child = fork();
    if (child == 0) {
      int code = 1;
      try {
        // The sender names the store its own way, by a link to it and a relative path:
        // the watcher is found all the same.
        if (symlink("messages.db", (dir.path + "/alias.db").c_str()) != 0) _exit(2);
        if (chdir(dir.path.c_str()) != 0) _exit(2);
        std::ofstream(id_file) << HandToWatcher("./alias.db",
                                                {kFriend, "hello", SendCoding::Auto, false});
        code = 0;
      } catch (...) {
      }
      _exit(code);
    }
    // The hand-over is done once the child is: a failed one ends the watch at once.
    waitpid(child, &status, 0);
    if (status != 0) gw.Stop();
  };
  std::vector<store::SendOutcome> sent;
  gw.Watch({.sent = [&](const store::SendOutcome& out) {
    sent.push_back(out);
    gw.Stop();
  }});
  ASSERT_GT(child, 0);
  ASSERT_EQ(status, 0);
  const std::int64_t id = std::stoll(testing::Slurp(id_file));
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].id, id);
  const std::string wire = sim->Received();
  ASSERT_FALSE(before_idle.empty());
  // As asked: no status report (TP-SRR clear in the first octet).
  EXPECT_EQ(wire, before_idle + kHelloUnreportedWire)
      << "the send after the idle, and nothing else";
  const store::SentRecord record = *gw.Store().Sent(id);
  EXPECT_EQ(record.send_state, store::SendState::Sent);
  ASSERT_EQ(record.parts.size(), 1u);
  EXPECT_EQ(record.parts[0].reference, sim->State().submitted.at(0).reference);
  // The watcher gone, the next hand-over is refused again.
  EXPECT_EQ(testing::ErrorNumberOf([&] { HandToWatcher(store, {kFriend, "late"}); }), 8005);
  EXPECT_TRUE(gw.Store().Queued().empty());
}

// A program that shares out one outbox among sessions: only the ids it gives go, in its
// order, claimed for its modem; an id no longer queued is passed over; Wake from another
// thread asks again at once; the store's wake-up FIFO is not made; and hold ends a long
// message after the part in flight, the rest left waiting.
TEST_F(Watching, OnlyWhatTheProgramGivesGoesAndHoldEndsAfterThePart) {
  WatchedGateway gw(Options());
  ASSERT_EQ(gw.Open(), ModemStatus::OK);
  store::MessageStore& st = gw.Store();
  const std::int64_t unreported =
      st.Enqueue({.recipient = kFriend, .text = "hello", .report = false});
  const std::int64_t reported = st.Enqueue({.recipient = kFriend, .text = "hello"});
  const std::int64_t kept = st.Enqueue({.recipient = kFriend, .text = "not given"});
  const std::int64_t longer = st.Enqueue({.recipient = kFriend, .text = std::string(200, 'x')});
  std::deque<std::int64_t> given = {reported, 999, unreported};
  std::vector<std::int64_t> sent;
  int long_holds = 0;
  idle.on_idle = [&] {
    std::thread([&] {
      given.push_back(longer);
      gw.Wake();
    }).join();
  };
  const std::int64_t start = idle.NowMs();
  gw.Watch({.sent =
                [&](const store::SendOutcome& out) {
                  sent.push_back(out.id);
                  if (out.id == longer) gw.Stop();
                },
            .next = [&]() -> std::optional<std::int64_t> {
              if (given.empty()) return std::nullopt;
              const std::int64_t id = given.front();
              given.pop_front();
              return id;
            },
            .claim_as = "left",
            .hold = [&] { return sent.size() == 2 && ++long_holds > 1; }});
  EXPECT_LT(idle.NowMs() - start, 60'000) << "woken, not swept";
  EXPECT_EQ(sent, (std::vector<std::int64_t>{reported, unreported, longer}));
  const std::string wire = sim->Received();
  EXPECT_LT(wire.find(kHelloWire), wire.find(kHelloUnreportedWire)) << "in the order given";
  EXPECT_EQ(Count(wire, "AT+CMGS="), 3) << "the long message's first part only";
  EXPECT_EQ(st.Sent(reported)->modem, "left");
  const store::SentRecord held = *st.Sent(longer);
  ASSERT_EQ(held.parts.size(), 2u);
  EXPECT_EQ(held.parts[0].send, store::PartSend::Taken);
  EXPECT_EQ(held.parts[1].send, store::PartSend::Waiting);
  const std::vector<store::QueuedRecord> queued = st.Queued();
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0].id, kept);
  EXPECT_FALSE(std::filesystem::exists(store + ".wake"));
}

}  // namespace watch_test
}  // namespace selvarn
