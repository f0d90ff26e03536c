// The service over simulated modems on real pseudo-terminals: routing by name, tag and
// prefix; failover when a modem goes and its return; retries by the class of the failure;
// reloads (the drain is the serve program's test). Each modem's session runs on its own
// thread on the real clock, so the waits here are short real ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "modemsim/simulator.hpp"
#include "selvarn/service.hpp"
#include "support/files.hpp"

namespace selvarn::service {
namespace {

using namespace std::chrono_literals;
using store::OutboxState;

const std::string kSubmit = "AT+CMGS=";

// Polls `done` until it holds or `limit` passes.
bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s,
                std::chrono::milliseconds step = 20ms) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(step);
  }
  return true;
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

bool Went(OutboxState s) { return s == OutboxState::Sent || s == OutboxState::Delivered; }
bool Ended(OutboxState s) { return s != OutboxState::Queued && s != OutboxState::Sending; }

class ServiceOverSims : public ::testing::Test {
 protected:
  struct SimModem {
    std::string name;
    std::vector<std::string> prefixes{};
    std::vector<std::string> tags{};
  };

  // One simulator per modem, all in one port folder.
  void Fleet(const std::vector<SimModem>& modems_wanted) {
    config.store = dir.path + "/messages.db";
    for (const SimModem& s : modems_wanted) {
      sims[s.name] = std::make_unique<modemsim::Simulator>(
          modemsim::Options{.port_folder = dir.path + "/ports"});
      config.modems.push_back({.name = s.name,
                               .device = sims[s.name]->link_path(),
                               .pin = "",
                               .prefixes = s.prefixes,
                               .tags = s.tags});
    }
  }
  // The simulator of `name` gone, and back on the same port later.
  void Pull(const std::string& name) { sims[name].reset(); }
  void PlugBack(const std::string& name, int port) {
    sims[name] = std::make_unique<modemsim::Simulator>(
        modemsim::Options{.port_folder = dir.path + "/ports", .port = port});
  }

  Service& Started() {
    config.retry = {
        .limit = 3, .first_wait = 50ms, .max_wait = 200ms, .jitter = 0, .resend_uncertain = false};
    const auto log_line = [this](const std::string& line) {
      std::lock_guard lock(log_mu);
      log.push_back(line);
    };
    service = std::make_unique<Service>(
        config, Service::Hooks{.log = log_line, .part_wait = 1s, .reopen_wait = 100ms});
    service->Start();
    EXPECT_TRUE(Eventually([&] { return service->Ready(); })) << "every modem up";
    return *service;
  }

  std::int64_t Submit(Submission s) {
    const auto result = service->Submit(s);
    if (const auto* refused = std::get_if<Refusal>(&result)) {
      ADD_FAILURE() << s.to << " refused: " << refused->field << ": " << refused->message;
      return 0;
    }
    return std::get<Accepted>(result).record.id;
  }
  OutboxState StateOfMessage(std::int64_t id) { return store::StateOf(*service->Message(id)); }
  bool AllEnded(const std::vector<std::int64_t>& ids) {
    return Eventually([&] {
      for (std::int64_t id : ids) {
        if (!Ended(StateOfMessage(id))) return false;
      }
      return true;
    });
  }
  int Submitted(const std::string& name) { return Count(sims[name]->Received(), kSubmit); }

  selvarn::testing::TempDir dir;
  std::map<std::string, std::unique_ptr<modemsim::Simulator>> sims;
  Config config;
  std::mutex log_mu;
  std::vector<std::string> log;  // under log_mu
  bool Logged(const std::string& text) {
    std::lock_guard lock(log_mu);
    return std::any_of(log.begin(), log.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
  }
  std::unique_ptr<Service> service;
};

TEST_F(ServiceOverSims, RoutesByNameTagAndPrefixAndRefusesWhatNoModemMaySend) {
  Fleet({{"uk", {"+44"}}, {"fr", {"+33"}, {"alerts"}}, {"any", {}, {"bulk"}}});
  Service& svc = Started();
  struct Case {
    Submission submission;
    std::string modem;  // that sends it
  } const cases[] = {
      {{.to = "+447700900001", .text = "longest prefix"}, "uk"},
      {{.to = "+33612345678", .text = "prefix"}, "fr"},
      {{.to = "+12025550100", .text = "no prefix matches"}, "any"},
      {{.to = "+447700900002", .text = "by tag", .tag = "bulk"}, "any"},
      {{.to = "+447700900003", .text = "by name", .modem = "fr"}, "fr"},
      {{.to = "+447700900009", .text = "once", .idempotency_key = "k1"}, "uk"},
  };
  std::vector<std::int64_t> ids;
  for (const Case& c : cases) ids.push_back(Submit(c.submission));
  ASSERT_TRUE(AllEnded(ids));
  std::map<std::string, int> expected;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const store::SentRecord r = *svc.Message(ids[i]);
    EXPECT_TRUE(Went(store::StateOf(r))) << cases[i].submission.text;
    EXPECT_EQ(r.modem, cases[i].modem) << cases[i].submission.text;
    ++expected[cases[i].modem];
  }
  for (const auto& [name, n] : expected) {
    EXPECT_EQ(Submitted(name), n) << name;
    EXPECT_EQ(svc.metrics().Value("selvarn_sends_total", {name, "sent"}), n) << name;
  }

  // Refused before anything is queued, naming the field: one of each check (the checks'
  // own edges are the number, plan and routing tables').
  const std::int64_t before = svc.Message(ids.back()) ? ids.back() : 0;
  struct Bad {
    Submission submission;
    const char* field;
  } const bad[] = {
      {{.to = "+44 7700", .text = "x"}, "to"},
      {{.to = "+447700900001", .text = std::string(256 * 160, 'x')}, "text"},
      {{.to = "+447700900001", .text = "x", .tag = "alerts"}, "to"},  // fr sends +33 only
  };
  for (const Bad& b : bad) {
    const auto result = svc.Submit(b.submission);
    ASSERT_TRUE(std::holds_alternative<Refusal>(result)) << b.field;
    EXPECT_EQ(std::get<Refusal>(result).field, b.field) << std::get<Refusal>(result).message;
  }
  EXPECT_FALSE(svc.Message(before + 1)) << "nothing queued";

  // The same idempotency key again queues nothing more.
  const auto again = svc.Submit(cases[5].submission);
  ASSERT_TRUE(std::holds_alternative<Accepted>(again));
  EXPECT_TRUE(std::get<Accepted>(again).existed);
  EXPECT_EQ(std::get<Accepted>(again).record.id, ids[5]);

  // What arrives is stored once and counted, whichever modem takes it.
  sims["fr"]->Deliver({.sender = "+33612345678", .text = "bonjour"});
  EXPECT_TRUE(Eventually([&] { return svc.Inbox(0).size() == 1; }));
  EXPECT_TRUE(
      Eventually([&] { return svc.metrics().Value("selvarn_received_total", {"message"}) == 1; }));
  EXPECT_EQ(svc.Inbox(0).at(0).Text(), "bonjour");

  const std::vector<ModemInfo> modems = svc.Modems();
  ASSERT_EQ(modems.size(), 3u);
  for (const ModemInfo& m : modems) {
    EXPECT_EQ(m.state, ModemInfo::State::Up) << m.name;
    EXPECT_EQ(m.radio.registration, "home") << m.name;
    EXPECT_EQ(m.queue, 0) << m.name;
    EXPECT_EQ(svc.metrics().Value("selvarn_modem_up", {m.name}), 1) << m.name;
  }
}

// A modem that goes away: what waited for it goes out on the other, at most the message in
// flight is left uncertain, a message pinned to it waits, and once back it is used again.
TEST_F(ServiceOverSims, ADownedModemsQueueMovesAndItComesBack) {
  Fleet({{"a"}, {"b"}});
  // Each submission takes a while, so that queues build up.
  for (auto& [name, sim] : sims) sim->SetFault("00", {.delay = 60ms});
  Service& svc = Started();
  const int port_a = sims["a"]->port();
  std::vector<std::int64_t> ids;
  for (int i = 0; i < 10; ++i) {
    ids.push_back(Submit({.to = "+447700900001", .text = "m" + std::to_string(i)}));
  }
  ASSERT_TRUE(Eventually([&] { return Submitted("a") >= 1; }));
  Pull("a");
  ASSERT_TRUE(Eventually([&] { return svc.Modems()[0].state == ModemInfo::State::Down; }));
  EXPECT_EQ(svc.metrics().Value("selvarn_modem_up", {"a"}), 0);
  const std::int64_t pinned = Submit({.to = "+447700900001", .text = "for a", .modem = "a"});
  ASSERT_TRUE(AllEnded(ids));
  int uncertain = 0, on_b = 0;
  for (std::int64_t id : ids) {
    const store::SentRecord r = *svc.Message(id);
    const OutboxState s = store::StateOf(r);
    if (s == OutboxState::Uncertain) {
      ++uncertain;
      EXPECT_EQ(r.modem, "a");
    } else {
      EXPECT_TRUE(Went(s)) << id << " " << store::ToString(s) << " " << r.error;
    }
    if (r.modem == "b") ++on_b;
  }
  EXPECT_LE(uncertain, 1) << "only the one in flight";
  EXPECT_GE(on_b, 8) << "a's queue went to b";
  EXPECT_EQ(Submitted("b"), on_b);
  EXPECT_EQ(StateOfMessage(pinned), OutboxState::Queued) << "it waits for its modem";

  PlugBack("a", port_a);
  ASSERT_TRUE(Eventually([&] { return svc.Modems()[0].state == ModemInfo::State::Up; }));
  ASSERT_TRUE(AllEnded({pinned}));
  EXPECT_TRUE(Went(StateOfMessage(pinned)));
  EXPECT_EQ(Submitted("a"), 1);
  EXPECT_EQ(svc.Message(pinned)->modem, "a");
}

// Per class of failure, on one modem: what the modem answers the PDU, and what becomes of
// the message.
TEST_F(ServiceOverSims, RetriesByTheClassOfTheFailure) {
  Fleet({{"m"}});
  struct Case {
    const char* name;
    std::string prefix;  // of the faulted command: "00" the PDU
    modemsim::Fault fault;
    OutboxState state;
    int submissions;          // AT+CMGS on the wire
    const char* retry_class;  // counted in selvarn_retries_total; empty: none
  } const cases[] = {
      // clang-format off
      {"congestion, then taken", "00", {.literal = "\r\n+CMS ERROR: 42\r\n", .count = 1},
       OutboxState::Sent, 2, "temporary"},
      {"refused at the command, then taken", "AT+CMGS", {.literal = "\r\nERROR\r\n", .count = 1},
       OutboxState::Sent, 2, "temporary"},
      {"congestion to the limit", "00", {.literal = "\r\n+CMS ERROR: 42\r\n"},
       OutboxState::Failed, 3, "temporary"},
      {"unassigned number", "00", {.literal = "\r\n+CMS ERROR: 1\r\n"}, OutboxState::Failed, 1, ""},
      {"network time-out after the PDU", "00", {.literal = "\r\n+CMS ERROR: 332\r\n", .count = 1},
       OutboxState::Uncertain, 1, ""},
      // The last row's fault stays for the silent sends below.
      {"no answer after the PDU", "00", {.silent = true}, OutboxState::Uncertain, 1, ""},
      // clang-format on
  };
  Service& svc = Started();
  double retries = 0;
  for (const Case& c : cases) {
    modemsim::Simulator& sim = *sims["m"];
    sim.ClearFaults();
    sim.SetFault(c.prefix, c.fault);
    sim.ClearTranscript();
    const std::int64_t id = Submit({.to = "+447700900001", .text = c.name, .report = false});
    // A refusal to be tried again never shows as failed on the way.
    std::set<OutboxState> seen;
    EXPECT_TRUE(Eventually(
        [&] {
          const OutboxState s = StateOfMessage(id);
          seen.insert(s);
          return Ended(s);
        },
        10s, 2ms))
        << c.name;
    EXPECT_EQ(seen.count(OutboxState::Failed) != 0, c.state == OutboxState::Failed) << c.name;
    const store::SentRecord r = *svc.Message(id);
    EXPECT_EQ(store::StateOf(r), c.state) << c.name << ": " << r.error;
    // Nothing more goes for it afterwards.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(Submitted("m"), c.submissions) << c.name;
    EXPECT_EQ(svc.Message(id)->attempts, c.submissions) << c.name;
    if (*c.retry_class != 0) retries += c.submissions - 1;
    EXPECT_EQ(svc.metrics().Value("selvarn_retries_total", {"m", "temporary"}), retries) << c.name;
  }
  EXPECT_EQ(svc.metrics().Value("selvarn_sends_total", {"m", "uncertain"}), 2);
  // Two more without an answer make three in a row: the modem counts as down, and is opened
  // again.
  std::vector<std::int64_t> silent;
  for (int i = 0; i < 2; ++i) silent.push_back(Submit({.to = "+447700900001", .text = "silent"}));
  ASSERT_TRUE(AllEnded(silent));
  EXPECT_TRUE(Eventually([&] { return Logged("modem m is down: 3 sends in a row"); }));
  EXPECT_TRUE(Eventually([&] { return svc.Modems()[0].state == ModemInfo::State::Up; }));
  EXPECT_EQ(svc.metrics().Value("selvarn_sends_total", {"m", "uncertain"}), 4);
}

TEST_F(ServiceOverSims, ReloadAddsAndRemovesModemsAndRefusesAnotherStore) {
  Fleet({{"a"}, {"b"}});
  Config first = config;
  first.modems.pop_back();
  config = first;
  Service& svc = Started();
  Config bigger = config;
  bigger.modems.push_back(
      {.name = "b", .device = sims["b"]->link_path(), .pin = "", .prefixes = {}, .tags = {"late"}});
  Config moved = bigger;
  moved.store = dir.path + "/other.db";
  const std::vector<ConfigError> refused = svc.Reload(moved);
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_NE(refused[0].message.find("store"), std::string::npos) << refused[0].message;
  EXPECT_EQ(svc.Modems().size(), 1u) << "nothing applied";
  Config twice = bigger;
  twice.modems.back().device = twice.modems.front().device;
  ASSERT_EQ(svc.Reload(twice).size(), 1u) << "one device, two modems";

  EXPECT_TRUE(svc.Reload(bigger).empty());
  ASSERT_TRUE(Eventually([&] { return svc.Ready(); }));
  const std::int64_t id = Submit({.to = "+447700900001", .text = "late", .tag = "late"});
  ASSERT_TRUE(AllEnded({id}));
  EXPECT_EQ(svc.Message(id)->modem, "b");

  // b removed: its tag goes with it, and what a sends goes on.
  EXPECT_TRUE(svc.Reload(first).empty());
  ASSERT_EQ(svc.Modems().size(), 1u);
  EXPECT_EQ(
      std::get<Refusal>(svc.Submit({.to = "+447700900001", .text = "x", .tag = "late"})).field,
      "tag");
  const std::int64_t on_a = Submit({.to = "+447700900001", .text = "on a"});
  ASSERT_TRUE(AllEnded({on_a}));
  EXPECT_EQ(svc.Message(on_a)->modem, "a");
}

}  // namespace
}  // namespace selvarn::service
