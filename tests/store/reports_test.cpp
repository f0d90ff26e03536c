#include <string>
#include <vector>

#include "store/message_store.hpp"
#include "store_fixture.hpp"

namespace selvarn::store::testing {
namespace {

TEST(StateOfStatus, FollowsTheStatusRanges) {
  const std::pair<int, DeliveryState> cases[] = {
      {0, DeliveryState::Delivered}, {31, DeliveryState::Delivered}, {32, DeliveryState::Pending},
      {63, DeliveryState::Pending},  {64, DeliveryState::Failed},    {95, DeliveryState::Failed},
      {96, DeliveryState::Failed},   {127, DeliveryState::Failed},   {128, DeliveryState::Failed},
      {255, DeliveryState::Failed},
  };
  for (const auto& [status, state] : cases) EXPECT_EQ(StateOfStatus(status), state) << status;
}

TEST(SameNumber, MatchesTheFormsOfOneNumberOnly) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"+60125550147", "60125550147", true},
      {"+60125550147", "0060125550147", true},
      {"+60125550147", "012-555 0147", true},  // national form, country code 60
      {"+1 555 0100", "5550100", true},        // seven digits are enough
      {"+60125550147", "+60125550148", false},
      {"+60125550147", "+70125550147", false},
      {"+494015550147", "15550147", false},  // four extra digits are no country code
      {"+6012555", "12555", false},          // too short for a tail match
      {"12555", "12555", true},
      {"55512", "+155512", false},
      {"MyBank", "MyBank", true},
      {"MyBank", "MYBANK", false},
      {"", "0", false},
  };
  for (const auto& [a, b, same] : cases) {
    EXPECT_EQ(SameNumber(a, b), same) << a << " " << b;
    EXPECT_EQ(SameNumber(b, a), same) << b << " " << a;
  }
}

// A send (references given) or a report (reference, number, status, time stamp), at a
// time; a report's result is "<send>.<part>:<state>", "-" unmatched, "dup" seen before.
struct Event {
  std::vector<int> refs;
  int ref = 0;
  const char* number = "+60125550147";
  int status = 0;
  const char* scts = "t1";
  std::int64_t at = 100;
};

struct ReportCase {
  std::vector<Event> events;
  std::vector<std::string> results;
  const char* states;  // of the sends, in order
};

TEST_F(StoreTest, ReportsFindTheirPart) {
  const char* national = "0125550147";
  const ReportCase cases[] = {
      {{{{5, 6}}, {{}, 5, national}, {{}, 6}}, {"1.1:pending", "1.2:delivered"}, "delivered"},
      {{{{5, 6}}, {{}, 6, national, 70}, {{}, 5}}, {"1.2:failed", "1.1:failed"}, "failed"},
      {{{{5}}, {{}, 5, national, 100}}, {"1.1:failed"}, "failed"},
      {{{{5}}, {{}, 5, national, 32}, {{}, 5, national, 0, "t2"}},
       {"1.1:pending", "1.1:delivered"},
       "delivered"},
      // References wrap: the newest send still waiting takes the report.
      {{{{9}}, {{9}, 0, national, 0, "", 200}, {{}, 9}, {{}, 9, national, 0, "t2"}},
       {"2.1:delivered", "1.1:delivered"},
       "delivered delivered"},
      {{{{9}}, {{9}, 0, "+60125550148", 0, "", 200}, {{}, 9}},
       {"1.1:delivered"},
       "delivered pending"},
      {{{{5}}, {{}, 5, "+60125550148"}, {{}, 4}}, {"-", "-"}, "pending"},
      {{{{5}}, {{}, 5}, {{}, 5}}, {"1.1:delivered", "dup"}, "delivered"},
      // Read before the sender recorded its message: taken up when it does, if it came
      // after the send.
      {{{{}, 5, national, 0, "t1", 150}, {{5}}}, {"-"}, "delivered"},
      {{{{}, 5, national, 0, "t1", 50}, {{5}}}, {"-"}, "pending"},
  };
  int n = 0;
  for (const ReportCase& c : cases) {
    MessageStore store(File(std::to_string(n++) + ".db"));
    std::vector<std::int64_t> sends;
    std::vector<std::string> results;
    for (const Event& e : c.events) {
      if (!e.refs.empty()) {
        sends.push_back(store.RecordSent({e.number, "hello", Coding::Gsm7, e.refs, e.at}));
        continue;
      }
      const ReportResult r = store.StoreReport({e.ref, e.number, e.scts, "d", e.status, e.at});
      std::string got = r.duplicate ? "dup" : "-";
      for (std::size_t i = 0; i < sends.size() && !r.duplicate; ++i) {
        if (r.sent_id == sends[i]) {
          got = std::to_string(i + 1) + "." + std::to_string(r.sequence) + ":" +
                ToString(r.message_state);
        }
      }
      results.push_back(got);
    }
    std::string states;
    for (const SentRecord& s : store.Outbox())
      states += (states.empty() ? "" : " ") + std::string(ToString(s.state));
    EXPECT_EQ(results, c.results) << "case " << n;
    EXPECT_EQ(states, c.states) << "case " << n;
  }
}

TEST_F(StoreTest, OutboxAndReportsKeepWhatArrived) {
  MessageStore store(File());
  const auto id = store.RecordSent({"+601", "hi there", Coding::Ucs2, {200, 201}, 100});
  store.StoreReport({201, "601", "24/05/01,10:00:00+32", "24/05/01,10:00:05+32", 64, 120});
  store.StoreReport({7, "601", "s", "d", 0, 130});
  const auto sent = store.Sent(id);
  ASSERT_TRUE(sent.has_value());
  EXPECT_EQ(sent->text, "hi there");
  EXPECT_EQ(sent->coding, Coding::Ucs2);
  ASSERT_EQ(sent->parts.size(), 2U);
  EXPECT_EQ(sent->parts[0].reference, 200);
  EXPECT_FALSE(sent->parts[0].reported_at.has_value());
  EXPECT_EQ(sent->parts[1].status, 64);
  EXPECT_EQ(sent->parts[1].reported_at, 120);
  EXPECT_FALSE(store.Sent(id + 1).has_value());
  EXPECT_TRUE(store.Outbox(101).empty());
  const auto reports = store.Reports(121);
  ASSERT_EQ(reports.size(), 1U);
  EXPECT_EQ(reports[0].report.reference, 7);
  EXPECT_FALSE(reports[0].sent_id.has_value());
  EXPECT_EQ(store.Reports()[0].report.discharge, "24/05/01,10:00:05+32");
  EXPECT_EQ(store.Reports()[0].sequence, 2);
}

}  // namespace
}  // namespace selvarn::store::testing
