// Routing without modems: which modem may send a message, which one gets it, and where
// messages go when modems go down, come back, or are configured anew.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "service/router.hpp"

namespace selvarn::service::routing {
namespace {

// uk: +44 numbers; ukm: +4477 mobiles; bulk: anything, tagged; alerts: +33 numbers, tagged.
std::vector<Route> Fleet() {
  return {{"uk", {"+44"}, {}},
          {"ukm", {"+4477", "+44770"}, {"fast"}},
          {"bulk", {}, {"bulk", "fast"}},
          {"alerts", {"+33"}, {"alerts"}}};
}

std::string Names(const std::vector<Route>& routes, const std::vector<std::size_t>& indexes) {
  std::string out;
  for (std::size_t i : indexes) out += (out.empty() ? "" : ",") + routes[i].name;
  return out;
}

TEST(Routing, WhoMaySendAMessage) {
  const std::vector<Route> fleet = Fleet();
  struct Case {
    Want want;
    std::string candidates;  // best fit first
    std::string refused;     // the field Check names; empty: routable
  } const cases[] = {
      {{"+447700900001"}, "ukm,uk,bulk", ""},  // longest prefix first, the catch-all last
      {{"+441632960000"}, "uk,bulk", ""},
      {{"+12025550100"}, "bulk", ""},  // no prefix matches: the modems without prefixes
      {{"447700900001"}, "bulk", ""},  // prefixes are matched as written
      {{"+447700900001", "alerts"}, "alerts", ""},  // named: whatever its prefixes say
      {{"+447700900001", "nosuch"}, "", "modem"},
      {{"+447700900001", "", "fast"}, "ukm,bulk", ""},
      {{"+33612345678", "", "fast"}, "bulk", ""},
      {{"+447700900001", "", "alerts"}, "", "to"},  // the tag's modem does not send there
      {{"+447700900001", "", "nosuch"}, "", "tag"},
      {{"+33612345678", "", "alerts"}, "alerts", ""},
  };
  for (const auto& c : cases) {
    const std::string what = c.want.to + " modem=" + c.want.modem + " tag=" + c.want.tag;
    EXPECT_EQ(Names(fleet, Candidates(fleet, c.want)), c.candidates) << what;
    const auto bad = Check(fleet, c.want);
    EXPECT_EQ(bad ? bad->field : "", c.refused) << what;
  }
  // Without a catch-all, a number no prefix matches has nowhere to go.
  const std::vector<Route> strict = {{"uk", {"+44"}, {}}};
  const auto bad = Check(strict, {"+12025550100"});
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->field, "to");
  EXPECT_EQ(Fit(strict[0], "+4420"), 3);
  EXPECT_EQ(Fit(strict[0], "+4"), -1);
  EXPECT_EQ(Fit(fleet[2], "+4"), 0);
}

// Steps on one router, each followed by the queue depths of uk, ukm, bulk and alerts and
// the count set aside. Times are in ms.
TEST(Routing, QueuesFollowTheModemsThatAreUp) {
  const auto add = [](std::int64_t id, Want want, std::int64_t due = 0) {
    return [=](Router& r) { r.Add({id, want, due}, 100); };
  };
  const auto up = [](const char* m, bool is_up, std::int64_t now = 100) {
    return [=](Router& r) { r.SetUp(m, is_up, now); };
  };
  const auto next = [](const char* m, std::optional<std::int64_t> id) {
    return [=](Router& r) { EXPECT_EQ(r.Next(m), id) << m; };
  };
  const auto done = [](const char* m) { return [=](Router& r) { r.Done(m); }; };
  struct Step {
    const char* what;
    std::function<void(Router&)> act;
    std::vector<int> depths;
    int aside;
  } const steps[] = {
      {"nothing up: aside", add(1, {"+447700900001"}), {0, 0, 0, 0}, 1},
      {"uk up takes it", up("uk", true), {1, 0, 0, 0}, 0},
      {"ukm up", up("ukm", true), {1, 0, 0, 0}, 0},
      {"the longer prefix wins", add(2, {"+447700900002"}), {1, 1, 0, 0}, 0},
      {"bulk up", up("bulk", true), {1, 1, 0, 0}, 0},
      {"a tag ukm may not send for", add(3, {"+12025550100", "", "fast"}), {1, 1, 1, 0}, 0},
      {"a tag: ukm fits best", add(4, {"+447700900004", "", "fast"}), {1, 2, 1, 0}, 0},
      {"pinned to a modem down: aside", add(5, {"+33612345678", "alerts"}), {1, 2, 1, 0}, 1},
      {"not yet due: aside", add(6, {"+441632960006"}, 500), {1, 2, 1, 0}, 2},
      {"ukm down: 2 to uk, 4 (tagged) to bulk", up("ukm", false), {2, 0, 2, 0}, 2},
      {"alerts up takes its pinned message", up("alerts", true), {2, 0, 2, 1}, 1},
      {"not due before its time", [](Router& r) { r.Tick(499); }, {2, 0, 2, 1}, 1},
      {"the retry falls due",
       [](Router& r) { EXPECT_EQ(r.Tick(500), std::vector<std::string>{"uk"}); },
       {3, 0, 2, 1},
       0},
      {"uk down: +44 goes to the catch-all", up("uk", false, 600), {0, 0, 5, 1}, 0},
      {"first come, first out", next("bulk", 3), {0, 0, 5, 1}, 0},
      {"the one in flight counts until done", done("bulk"), {0, 0, 4, 1}, 0},
      {"done too often: never below nothing",
       [&](Router& r) {
         for (int i = 0; i < 3; ++i) r.Done("alerts");
       },
       {0, 0, 4, 1},
       0},
      {"a modem down gives nothing", next("ukm", std::nullopt), {0, 0, 4, 1}, 0},
      {"an unknown modem gives nothing", next("nosuch", std::nullopt), {0, 0, 4, 1}, 0},
      {"a tag no modem has: aside", add(10, {"+12025550100", "", "late"}), {0, 0, 4, 1}, 1},
      // bulk, first now, keeps 4 only; 1, 2 and 6 fit ukm alone, which is down; alerts is
      // gone with its pinned message; 10 has a modem with its tag at last.
      {"a new configuration",
       [](Router& r) {
         r.Configure({{"bulk", {"+1", "+447700900004"}, {"fast", "late"}},
                      {"uk", {"+33"}, {}},
                      {"ukm", {"+4477"}, {}}},
                     700);
       },
       {0, 0, 2, 0},
       4},
      {"uk kept its state: down", add(7, {"+33612345678"}), {0, 0, 2, 0}, 5},
      {"cleared: nothing queued or aside", [](Router& r) { r.Clear(); }, {0, 0, 0, 0}, 0},
      {"bulk kept its state: up", add(11, {"+12025550100"}), {0, 0, 1, 0}, 0},
  };
  Router router;
  router.Configure(Fleet(), 100);
  const char* names[] = {"uk", "ukm", "bulk", "alerts"};
  for (const Step& s : steps) {
    s.act(router);
    for (std::size_t i = 0; i < 4; ++i) {
      EXPECT_EQ(router.Depth(names[i]), s.depths[i]) << s.what << ": " << names[i];
    }
    EXPECT_EQ(router.Aside(), s.aside) << s.what;
  }
  EXPECT_EQ(router.NextDue(0), std::nullopt);
  router.Add({8, {"+4420"}, 900}, 700);
  router.Add({9, {"+4420"}, 800}, 700);
  EXPECT_EQ(router.NextDue(700), 800);
  EXPECT_EQ(router.NextDue(800), 900);

  // Equal fits: the shorter queue, the first configured among equals.
  Router even;
  even.Configure({{"x", {}, {}}, {"y", {"+44"}, {}}, {"z", {}, {}}}, 0);
  for (const char* m : {"x", "y", "z"}) even.SetUp(m, true, 0);
  std::string chosen;
  for (std::int64_t id = 1; id <= 5; ++id) chosen += even.Add({id, {"+3361"}}, 0);
  EXPECT_EQ(chosen, "xzxzx");
  // The best fit however long its queue.
  for (std::int64_t id = 6; id <= 9; ++id) chosen += even.Add({id, {"+4420"}}, 0);
  EXPECT_EQ(chosen, "xzxzxyyyy");
  // Due together: each modem that got one is told once.
  for (std::int64_t id = 10; id <= 12; ++id) even.Add({id, {"+3361"}, 50}, 0);
  EXPECT_EQ(even.Tick(50), (std::vector<std::string>{"z", "x"}));
}

// All that waited went to the one modem up; the others take from its queue what they fit as
// well, once they are up.
TEST(Routing, AModemWithNothingToDoTakesFromTheLongestQueue) {
  Router router;
  router.Configure(Fleet(), 0);
  router.SetUp("uk", true, 0);
  for (const Router::Item& item :
       {Router::Item{1, {"+447700900001"}}, Router::Item{2, {"+441632960002"}},
        Router::Item{3, {"+447700900003", "uk"}}, Router::Item{4, {"+447700900004"}}}) {
    router.Add(item, 0);
  }
  router.SetUp("bulk", true, 0);
  const auto ukm_up = [&] { router.SetUp("ukm", true, 0); };
  const struct {
    const char* modem;
    std::optional<std::int64_t> id;
    const char* why;
    std::function<void()> then{};
  } asks[] = {
      {"bulk", std::nullopt, "uk fits +44 better than the catch-all"},
      {"ukm", std::nullopt, "down", ukm_up},
      {"ukm", 1, "up: the first it fits"},
      {"ukm", 4, "not 2 (no +4477), nor 3 (named uk)"},
      {"ukm", std::nullopt, "nothing else fits"},
      {"uk", 2, "its own, in order"},
      {"uk", 3, "its own, in order"},
  };
  for (const auto& a : asks) {
    EXPECT_EQ(router.Next(a.modem), a.id) << a.modem << ": " << a.why;
    if (a.then) a.then();
  }
  EXPECT_EQ(router.Depth("ukm"), 2) << "what it took is in flight there";

  // Two that send for any number: the one up later takes what waits for the other.
  Router any;
  any.Configure({{"x", {}, {}}, {"y", {}, {}}}, 0);
  any.SetUp("x", true, 0);
  for (std::int64_t id : {1, 2}) any.Add({id, {"+3361"}}, 0);
  any.SetUp("y", true, 0);
  EXPECT_EQ(any.Next("y"), 1);
  EXPECT_EQ(any.Next("x"), 2);
}

}  // namespace
}  // namespace selvarn::service::routing
