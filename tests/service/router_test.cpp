// Routing without modems: which modem may send a message, which one gets it, and where
// messages go when modems go down, come back, or are configured anew.
#include <gtest/gtest.h>

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
}

// Steps on one router, each checked against the queue depths that follow it.
TEST(Routing, QueuesFollowTheModemsThatAreUp) {
  struct Step {
    const char* what;
    std::function<void(Router&)> act;
    std::vector<int> depths;  // uk, ukm, bulk, alerts
    int aside;
  };
  const auto add = [](std::int64_t id, Want want, std::int64_t due = 0) {
    return [=](Router& r) { r.Add({id, want, due}, 100); };
  };
  const auto up = [](const char* m, bool is_up) {
    return [=](Router& r) { r.SetUp(m, is_up, 100); };
  };
  const Step steps[] = {
      {"nothing up: aside", add(1, {"+447700900001"}), {0, 0, 0, 0}, 1},
      {"uk up takes it", up("uk", true), {1, 0, 0, 0}, 0},
      {"ukm up: the longer prefix wins",
       [](Router& r) {
         r.SetUp("ukm", true, 100);
         r.Add({2, {"+447700900002"}, 0}, 100);
       },
       {1, 1, 0, 0},
       0},
      {"equal fits: the shorter queue",
       [](Router& r) {
         r.SetUp("bulk", true, 100);
         r.Add({3, {"+12025550100", "", "fast"}, 0}, 100);   // ukm may not: bulk
         r.Add({4, {"+447700900004", "", "fast"}, 0}, 100);  // ukm fits best
       },
       {1, 2, 1, 0},
       0},
      {"pinned to a modem that is down: aside",
       add(5, {"+33612345678", "alerts"}),
       {1, 2, 1, 0},
       1},
      {"not yet due: aside", add(6, {"+441632960006"}, 500), {1, 2, 1, 0}, 2},
      {"ukm down: its queue moves to the next fit (4 asked for the tag)",
       up("ukm", false),
       {2, 0, 2, 0},
       2},
      {"alerts up takes its pinned message", up("alerts", true), {2, 0, 2, 1}, 1},
      {"the retry falls due", [](Router& r) { r.Tick(500); }, {3, 0, 2, 1}, 0},
      {"uk down: +44 goes to the catch-all",
       [](Router& r) { r.SetUp("uk", false, 600); },
       {0, 0, 5, 1},
       0},
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
}

TEST(Routing, NextHandsOutInOrderAndCountsTheOneInFlight) {
  Router router;
  router.Configure({{"a", {}, {}}}, 0);
  router.SetUp("a", true, 0);
  for (std::int64_t id : {7, 8}) router.Add({id, {"+4420"}}, 0);
  EXPECT_EQ(router.Next("a"), 7);
  EXPECT_EQ(router.Depth("a"), 2) << "the one in flight counts";
  router.Done("a");
  EXPECT_EQ(router.Depth("a"), 1);
  EXPECT_EQ(router.Next("a"), 8);
  EXPECT_EQ(router.Next("a"), std::nullopt);
  EXPECT_EQ(router.Next("nosuch"), std::nullopt);
  router.Done("a");
  router.Done("a");  // once too often: never below nothing
  EXPECT_EQ(router.Depth("a"), 0);
}

// All waiting went to the one modem up; the others take from its queue what they fit as well.
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
  router.SetUp("ukm", true, 0);
  const struct {
    const char* modem;
    std::optional<std::int64_t> id;
    const char* why;
  } asks[] = {
      {"bulk", std::nullopt, "uk fits +44 better than the catch-all"},
      {"ukm", 1, "the first it fits"},
      {"ukm", 4, "not 2 (no +4477), nor 3 (named uk)"},
      {"ukm", std::nullopt, "nothing else fits"},
      {"uk", 2, "its own, in order"},
      {"uk", 3, "its own, in order"},
  };
  for (const auto& a : asks) EXPECT_EQ(router.Next(a.modem), a.id) << a.modem << ": " << a.why;
  EXPECT_EQ(router.Depth("ukm"), 2) << "what it took is in flight there";
}

TEST(Routing, DueTimesAndRetriesGoWhereTheyFitWhenDue) {
  Router router;
  router.Configure({{"a", {}, {}}, {"b", {}, {}}}, 0);
  router.SetUp("a", true, 0);
  router.Add({1, {"+4420"}, 300}, 0);
  router.Add({2, {"+4420"}, 200}, 0);
  EXPECT_EQ(router.NextDue(0), 200);
  EXPECT_EQ(router.NextDue(200), 300);
  EXPECT_EQ(router.NextDue(300), std::nullopt);
  EXPECT_TRUE(router.Tick(199).empty());
  EXPECT_EQ(router.Tick(200), std::vector<std::string>{"a"});
  router.SetUp("b", true, 250);
  EXPECT_EQ(router.Tick(300), std::vector<std::string>{"b"}) << "the shorter queue";
  EXPECT_EQ(router.Depth("a"), 1);
  EXPECT_EQ(router.Depth("b"), 1);
}

TEST(Routing, ANewConfigurationMovesWhatNoLongerFits) {
  Router router;
  router.Configure({{"a", {}, {}}, {"b", {"+33"}, {}}}, 0);
  router.SetUp("a", true, 0);
  router.SetUp("b", true, 0);
  router.Add({1, {"+4420"}}, 0);
  router.Add({2, {"+3361"}}, 0);
  router.Add({3, {"+4421"}}, 0);
  ASSERT_EQ(router.Depth("a"), 2);
  ASSERT_EQ(router.Depth("b"), 1);
  // a now sends only for +33; b takes the rest; c is new and down.
  router.Configure({{"a", {"+33"}, {}}, {"b", {}, {}}, {"c", {}, {}}}, 0);
  EXPECT_EQ(router.Depth("a"), 0);
  EXPECT_EQ(router.Depth("b"), 3);
  EXPECT_FALSE(router.IsUp("c"));
  // b removed: its queue goes to a where a may send it, aside otherwise.
  router.Configure({{"a", {"+33"}, {}}}, 0);
  EXPECT_EQ(router.Depth("a"), 1);
  EXPECT_EQ(router.Depth("b"), 0);
  EXPECT_EQ(router.Aside(), 2);
  EXPECT_TRUE(router.IsUp("a")) << "a kept modem keeps its state";
}

}  // namespace
}  // namespace selvarn::service::routing
