#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "store/message_store.hpp"
#include "store_fixture.hpp"
#include "support/errors.hpp"

namespace selvarn::store::testing {
namespace {

struct Arrival {
  int seq;
  const char* text;
  std::int64_t at = 1000;
  const char* scts = "t1";
  int total = 3;
  int bits = 8;  // 0: a single message
  const char* sender = "+60125550147";
  int index = 0;
};

using PartTable = std::vector<std::pair<std::vector<Arrival>, std::pair<const char*, const char*>>>;

// Results as letters: S stored, D duplicate, C conflict, 1 stored alone; "+" when the
// message is then complete.
std::string Store(MessageStore& store, const std::vector<Arrival>& arrivals) {
  std::string out;
  for (const Arrival& a : arrivals) {
    ReceivedPart p = PartOf(0, a.total, a.seq, a.text, a.at, a.scts);
    p.concat->reference_bits = a.bits;
    if (a.bits == 0) p.concat.reset();
    p.sender = a.sender;
    p.sim_index = a.index;
    const PartResult r = store.StorePart(p);
    out += "SDC1"[static_cast<int>(r.outcome)];
    if (r.complete) out += "+";
  }
  return out;
}

TEST_F(StoreTest, PartsBecomeMessagesWhateverTheirOrder) {
  // clang-format off
  const PartTable cases = {
      {{{1, "A"}, {2, "B"}, {3, "C"}}, {"SSS+", "A|B|C"}},
      {{{3, "C"}, {2, "B"}, {1, "A"}}, {"SSS+", "A|B|C"}},
      {{{2, "B"}, {2, "B"}, {1, "A"}, {3, "C"}, {1, "A"}}, {"SDSS+D+", "A|B|C"}},
      {{{1, "A"}, {1, "A", 1001, "t2"}, {2, "B"}, {3, "C"}}, {"SDSS+", "A|B|C"}},
      {{{1, "A"}, {1, "X"}, {2, "B"}, {1, "X"}, {3, "C"}}, {"SCSCS+", "A|B|C!1"}},
      {{{1, "A"}, {3, "C"}}, {"SS", "*A|C"}},
      // The sender's reference comes round again: a new message, the old one untouched,
      // and an old part seen again still belongs to the old one.
      {{{1, "A"}, {2, "B"}, {3, "C"}, {1, "P", 5000, "t9"}, {2, "B"}, {2, "Q", 5000, "t9"},
        {3, "R", 5000, "t9"}}, {"SSS+SD+SS+", "A|B|C / P|Q|R"}},
      // Past the reassembly window the key may be reused: a new message.
      {{{1, "A", 100000}, {2, "B", 186400}, {3, "C", 186401}}, {"SSS", "*A|B / *C"}},
      {{{1, "A", 1000, "t1", 2}, {1, "X"}, {2, "B", 1000, "t1", 2}}, {"SSS+", "A|B / *X"}},
      {{{1, "A", 1000, "t1", 2}, {2, "B", 1000, "t1", 2, 16}}, {"SS", "*A / *B"}},
      {{{1, "A"}, {2, "B", 1000, "t1", 3, 8, "+60125550148"}}, {"SS", "*A / *B"}},
      // Concatenation data that cannot be right: the text stands alone, joined to nothing.
      {{{1, "A"}, {0, "Z"}, {4, "Y"}, {1, "W", 1000, "t1", 0}, {2, "B"}, {3, "C"},
        {1, "V", 1000, "t1", 256}}, {"S1+1+1+SS+1+", "A|B|C / Z / Y / W / V"}},
      {{{1, "A", 1000, "t1", 1}}, {"S+", "A"}},
      // Single messages (no concatenation): one read again, with the same sender, time
      // stamp, text and index, is stored once.
      {{{1, "A", 1, "t1", 1, 0}, {1, "A", 1, "t1", 1, 0}, {1, "A", 1, "t2", 1, 0},
        {1, "B", 1, "t1", 1, 0}, {1, "A", 1, "t1", 1, 0, "+601"},
        {1, "A", 1, "t1", 1, 0, "+60125550147", 2}}, {"S+D+S+S+S+S+", "A / A / B / A / A"}},
  };
  // clang-format on

  for (std::size_t i = 0; i < cases.size(); ++i) {
    MessageStore store(File(std::to_string(i) + ".db"), ShowAll());
    EXPECT_EQ(Store(store, cases[i].first), cases[i].second.first) << "case " << i;
    EXPECT_EQ(Render(store.Inbox()), cases[i].second.second) << "case " << i;
  }
}

TEST_F(StoreTest, EveryFieldComesBackAsStored) {
  MessageStore store(File(), ShowAll());
  const std::int64_t before = std::time(nullptr);
  const Concatenation c1{300, 16, 2, 1}, c2{300, 16, 2, 2};
  const ReceivedPart two{"+601", "+6012", "t2", "world", "07911614", 4, before - 10, c2};
  const ReceivedPart clash{"+601", "+6012", "t3", "earth", "FF", 4, before - 5, c2};
  const ReceivedPart one{"+601", "+6013", "t1", "hello ", "", 9, 0, c1};  // received now
  const ReceivedPart single{"+601", "+6012", "t4", "alone", "", 0, before - 1, std::nullopt};
  for (const ReceivedPart* p : {&single, &two, &clash, &one}) store.StorePart(*p);
  const auto inbox = store.Inbox();
  ASSERT_EQ(inbox.size(), 2U);
  const Message& m = inbox[0];
  EXPECT_EQ(m.sender, "+601");
  EXPECT_EQ(m.concat, (Concatenation{300, 16, 2, 0}));
  EXPECT_EQ(m.total, 2);
  EXPECT_EQ(m.received_at, before - 10);
  ASSERT_GE(m.completed_at.value_or(0), before);
  EXPECT_EQ(m.parts, (std::vector<Part>{{1, "+6013", "t1", "hello ", "", 9, *m.completed_at},
                                        {2, "+6012", "t2", "world", "07911614", 4, before - 10}}));
  EXPECT_EQ(m.conflicts, (std::vector<Conflict>{{2, "t3", "earth", "FF", before - 5}}));
  EXPECT_EQ(m.Text(), "hello world");
  EXPECT_EQ(store.StorePart(two).message_id, m.id);
  EXPECT_EQ(inbox[1].parts, (std::vector<Part>{{1, "+6012", "t4", "alone", "", 0, before - 1}}));
  EXPECT_EQ(inbox[1].total, 1);
  EXPECT_FALSE(inbox[1].concat.has_value());
}

TEST_F(StoreTest, NewMessagesAreHandedOutOnceIncompleteOnesShowWhenOld) {
  MessageStore::Options o;
  o.incomplete_after = 600;
  MessageStore store(File(), o);
  const std::int64_t before = std::time(nullptr);
  store.StorePart(PartOf(4, 3, 2, "old", before - 700));
  store.StorePart(PartOf(5, 2, 1, "young", before - 500));
  EXPECT_EQ(Render(store.IncompleteMessages()), "*old");
  EXPECT_EQ(store.IncompleteMessages().at(0).Missing(), (std::vector<int>{1, 3}));
  const auto a = store.StorePart(PartOf(1, 2, 2, "A2", 1000)).message_id;
  store.StorePart(PartOf(1, 2, 1, "A1", 1003));
  const auto b = store.StorePart(PartOf(2, 2, 1, "B1", 1001)).message_id;
  store.StorePart(PartOf(3, 1, 1, "C", 1002));
  EXPECT_EQ(Render(store.NewMessages()), "C / A1|A2");  // in the order they completed
  EXPECT_FALSE(store.MarkHandedOut(b));                 // not complete yet
  EXPECT_TRUE(store.MarkHandedOut(a));
  EXPECT_FALSE(store.MarkHandedOut(a));
  store.StorePart(PartOf(2, 2, 2, "B2", 1004));
  EXPECT_EQ(Render(store.NewMessages()), "C / B1|B2");
  const auto inbox = store.Inbox();
  EXPECT_EQ(Render(inbox), "A1|A2 / B1|B2 / C / *old");
  EXPECT_GE(inbox[0].handed_out_at.value_or(0), before);
  EXPECT_FALSE(inbox[1].handed_out_at.has_value());
  EXPECT_EQ(Render(store.Inbox(1001)), "B1|B2 / C / *old");
}

TEST_F(StoreTest, BadArgumentsAreRefusedAndStoreNothing) {
  MessageStore store(File(), ShowAll());
  auto part = [&](int bits, int ref) {
    ReceivedPart p = PartOf(ref, 2, 1, "x");
    p.concat->reference_bits = bits;
    return [&store, p] { store.StorePart(p); };
  };
  auto report = [&](int ref, int status) {
    return [&store, ref, status] { store.StoreReport({ref, "1", "", "", status}); };
  };
  auto sent = [&](std::vector<int> refs, Coding coding = Coding::Gsm7) {
    return [&store, refs, coding] { store.RecordSent({"1", "x", coding, refs}); };
  };
  const std::function<void()> calls[] = {
      part(7, 0),    part(8, 256), part(16, 65536), report(256, 0),
      report(1, -1), sent({}),     sent({1, 256}),  sent({1}, static_cast<Coding>(3))};
  for (std::size_t i = 0; i < std::size(calls); ++i) {
    EXPECT_EQ(selvarn::testing::ErrorNumberOf(calls[i]), 5) << "call " << i;
  }
  EXPECT_TRUE(store.Inbox().empty());
  EXPECT_TRUE(store.Outbox().empty());
  EXPECT_TRUE(store.Reports().empty());
}

}  // namespace
}  // namespace selvarn::store::testing
