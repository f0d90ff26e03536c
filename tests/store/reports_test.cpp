#include <ctime>
#include <string>
#include <vector>

#include "store/message_store.hpp"
#include "store_fixture.hpp"

namespace selvarn::store::testing {
namespace {

TEST(StateOfStatus, FollowsTheStatusRanges) {
  std::string got;  // the first letters of the states, at the edges of the ranges
  for (int st : {0, 31, 32, 63, 64, 95, 96, 127, 128, 255}) got += ToString(StateOfStatus(st))[0];
  EXPECT_EQ(got, "ddppffffff");
}

TEST(SameNumber, MatchesTheFormsOfOneNumberOnly) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"+60125550147", "60125550147", true},
      {"+60125550147", "0060125550147", true},
      {"+60125550147", "012-555 0147", true},  // national form, country code 60
      {"+1 555 0100", "5550100", true},        // seven digits are enough
      {"+353871234567", "0871234567", true},   // a three-digit country code
      {"+60125550147", "+60125550148", false},
      {"+60125550147", "+70125550147", false},
      {"+494015550147", "15550147", false},  // four extra digits are no country code
      {"+6012555", "12555", false},          // too short for a tail match
      {"12555", "12555", true},
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
// time; a report's result is "<send>.<part>:<state>" or "-" unmatched, after "dup " when
// it was stored before.
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
  // clang-format off
  const ReportCase cases[] = {
      {{{{5, 6}}, {{}, 5, national}, {{}, 6}}, {"1.1:pending", "1.2:delivered"}, "delivered"},
      {{{{5, 6}}, {{}, 6, national, 70}, {{}, 5}}, {"1.2:failed", "1.1:failed"}, "failed"},
      {{{{5}}, {{}, 5, national, 100}}, {"1.1:failed"}, "failed"},
      {{{{5}}, {{}, 5, national, 32}, {{}, 5, national, 0, "t2"}}, {"1.1:pending", "1.1:delivered"},
       "delivered"},
      // References wrap: the newest send still waiting takes the report.
      {{{{9}}, {{9}, 0, national, 0, "", 200}, {{}, 9}, {{}, 9, national, 0, "t2"}},
       {"2.1:delivered", "1.1:delivered"}, "delivered delivered"},
      {{{{9}}, {{9}, 0, "+60125550148", 0, "", 200}, {{}, 9}}, {"1.1:delivered"}, "delivered pending"},
      {{{{5}}, {{}, 5, "+60125550148"}, {{}, 4}}, {"-", "-"}, "pending"},
      {{{{5}}, {{}, 5}, {{}, 5}}, {"1.1:delivered", "dup 1.1:delivered"}, "delivered"},
      // Read before the sender recorded its message: taken up when it does, if it came
      // after the send.
      {{{{}, 5, national, 0, "t1", 150}, {{5}}}, {"-"}, "delivered"},
      {{{{}, 5, national, 0, "t1", 50}, {{5}}}, {"-"}, "pending"},
  };
  // clang-format on
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
      std::string got = r.duplicate ? "dup " : "";
      for (std::size_t i = 0; i < sends.size(); ++i) {
        if (r.sent_id == sends[i]) {
          got += std::to_string(i + 1) + "." + std::to_string(r.sequence) + ":" +
                 ToString(r.message_state);
        }
      }
      if (!r.sent_id) got += "-";
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
  const std::int64_t before = std::time(nullptr);
  const StatusReport early{255, "601", "s1", "d1", 0, before + 5};  // before it was recorded
  const StatusReport failed{0, "0601", "s2", "d2", 64, before + 6};
  const StatusReport stray{7, "601", "s3", "d3", 0, before + 7};
  store.StoreReport(early);
  const auto id = store.RecordSent({"+601", "hi there", Coding::Ucs2, {255, 0}});  // sent now
  const auto first = store.StoreReport(failed);
  store.StoreReport(stray);
  EXPECT_EQ(store.StoreReport(failed).report_id, first.report_id);
  const auto sent = store.Sent(id);
  ASSERT_TRUE(sent.has_value());
  EXPECT_GE(sent->sent_at, before);
  // clang-format off
  EXPECT_EQ(*sent, (SentRecord{id, "+601", "hi there", Coding::Ucs2, sent->sent_at,
                               {{1, 255, DeliveryState::Delivered, 0, before + 5},
                                {2, 0, DeliveryState::Failed, 64, before + 6}}, DeliveryState::Failed}));
  // clang-format on
  EXPECT_FALSE(store.Sent(id + 1).has_value());
  EXPECT_TRUE(store.Outbox(sent->sent_at + 1).empty());
  EXPECT_EQ(store.Reports(before + 6),
            (std::vector<StoredReport>{{first.report_id, failed, id, 2},
                                       {first.report_id + 1, stray, {}, 0}}));
  EXPECT_EQ(store.Reports()[0], (StoredReport{first.report_id - 1, early, id, 1}));
}

}  // namespace
}  // namespace selvarn::store::testing
