#include <ctime>
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
  int bits = 8;
  const char* sender = "+60125550147";
};

using PartTable = std::vector<std::pair<std::vector<Arrival>, std::pair<const char*, const char*>>>;

// Results as letters: S stored, D duplicate, C conflict, 1 stored alone; "+" when the
// message is then complete.
std::string Store(MessageStore& store, const std::vector<Arrival>& arrivals) {
  std::string out;
  for (const Arrival& a : arrivals) {
    ReceivedPart p = PartOf(7, a.total, a.seq, a.text, a.at, a.scts);
    p.concat->reference_bits = a.bits;
    p.sender = a.sender;
    const PartResult r = store.StorePart(p);
    out += "SDC1"[static_cast<int>(r.outcome)];
    if (r.complete) out += "+";
  }
  return out;
}

TEST_F(StoreTest, PartsBecomeMessagesWhateverTheirOrder) {
  const std::int64_t later = 1000 + 86401;  // past the reassembly window
  const PartTable cases = {
      {{{1, "A"}, {2, "B"}, {3, "C"}}, {"SSS+", "A|B|C"}},
      {{{3, "C"}, {2, "B"}, {1, "A"}}, {"SSS+", "A|B|C"}},
      {{{2, "B"}, {2, "B"}, {1, "A"}, {3, "C"}, {1, "A"}}, {"SDSS+D+", "A|B|C"}},
      {{{1, "A"}, {1, "A", 1001, "t2"}, {2, "B"}, {3, "C"}}, {"SDSS+", "A|B|C"}},
      {{{1, "A"}, {1, "X"}, {2, "B"}, {1, "X"}, {3, "C"}}, {"SCSCS+", "A|B|C!1"}},
      {{{1, "A"}, {3, "C"}}, {"SS", "*A|C"}},
      // The sender's reference comes round again: a new message, the old one untouched,
      // and an old part seen again still belongs to the old one.
      {{{1, "A"},
        {2, "B"},
        {3, "C"},
        {1, "P", 5000, "t9"},
        {2, "B"},
        {2, "Q", 5000, "t9"},
        {3, "R", 5000, "t9"}},
       {"SSS+SD+SS+", "A|B|C / P|Q|R"}},
      {{{1, "A"}, {2, "B", later}}, {"SS", "*A / *B"}},
      {{{1, "A", 1000, "t1", 2}, {1, "X"}, {2, "B", 1000, "t1", 2}}, {"SSS+", "A|B / *X"}},
      {{{1, "A", 1000, "t1", 2}, {2, "B", 1000, "t1", 2, 16}}, {"SS", "*A / *B"}},
      {{{1, "A"}, {2, "B", 1000, "t1", 3, 8, "+60125550148"}}, {"SS", "*A / *B"}},
      // Concatenation data that cannot be right: the text stands alone, joined to nothing.
      {{{1, "A"}, {0, "Z"}, {4, "Y"}, {1, "W", 1000, "t1", 0}, {2, "B"}, {3, "C"}},
       {"S1+1+1+SS+", "A|B|C / Z / Y / W"}},
      {{{1, "A", 1000, "t1", 1}}, {"S+", "A"}},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    MessageStore store(File(std::to_string(i) + ".db"), ShowAll());
    EXPECT_EQ(Store(store, cases[i].first), cases[i].second.first) << "case " << i;
    EXPECT_EQ(Render(store.Inbox()), cases[i].second.second) << "case " << i;
  }
}

TEST_F(StoreTest, SingleMessagesAreStoredOnceWhenReadAgain) {
  auto single = [](const char* sender, const char* scts, const char* text, int index) {
    ReceivedPart p = PartOf(0, 1, 1, text, 1000, scts);
    p.sender = sender;
    p.sim_index = index;
    p.concat.reset();
    return p;
  };
  MessageStore store(File(), ShowAll());
  const ReceivedPart first = single("+601", "t1", "hi", 3);
  const std::pair<ReceivedPart, PartOutcome> cases[] = {
      {first, PartOutcome::Duplicate},
      {single("+601", "t1", "hi", 4), PartOutcome::Stored},
      {single("+601", "t2", "hi", 3), PartOutcome::Stored},
      {single("+601", "t1", "ho", 3), PartOutcome::Stored},
      {single("+602", "t1", "hi", 3), PartOutcome::Stored},
  };
  const PartResult stored = store.StorePart(first);
  for (const auto& [part, outcome] : cases) {
    const PartResult r = store.StorePart(part);
    EXPECT_EQ(r.outcome, outcome) << part.sender << part.scts << part.text << part.sim_index;
    EXPECT_EQ(r.message_id == stored.message_id, outcome == PartOutcome::Duplicate);
    EXPECT_TRUE(r.complete);
  }
  EXPECT_EQ(Render(store.Inbox()), "hi / hi / hi / ho / hi");
}

TEST_F(StoreTest, NewMessagesAreHandedOutOnce) {
  MessageStore store(File(), ShowAll());
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
  EXPECT_TRUE(store.Inbox().front().handed_out_at.has_value());
}

TEST_F(StoreTest, IncompleteMessagesShowOnceTheyAreOld) {
  MessageStore::Options o;
  o.incomplete_after = 600;
  MessageStore store(File(), o);
  const std::int64_t now = std::time(nullptr);
  store.StorePart(PartOf(1, 3, 2, "old", now - 700));
  store.StorePart(PartOf(2, 2, 1, "young", now - 500));
  store.StorePart(PartOf(3, 1, 1, "whole", now - 800));
  const auto incomplete = store.IncompleteMessages();
  EXPECT_EQ(Render(incomplete), "*old");
  ASSERT_EQ(incomplete.size(), 1U);
  EXPECT_EQ(incomplete[0].Missing(), (std::vector<int>{1, 3}));
  EXPECT_EQ(Render(store.Inbox()), "whole / *old");
  EXPECT_EQ(Render(store.Inbox(now - 750)), "*old");
}

TEST_F(StoreTest, BadArgumentsAreRefusedAndStoreNothing) {
  MessageStore store(File(), ShowAll());
  const std::pair<int, int> concat[] = {{7, 0}, {8, 256}, {8, -1}, {16, 65536}};
  for (const auto& [bits, ref] : concat) {
    ReceivedPart p = PartOf(ref, 2, 1, "x");
    p.concat->reference_bits = bits;
    EXPECT_EQ(selvarn::testing::ErrorNumberOf([&] { store.StorePart(p); }), 5) << bits << ref;
  }
  const StatusReport reports[] = {
      {256, "1", "", "", 0}, {-1, "1", "", "", 0}, {1, "1", "", "", 256}, {1, "1", "", "", -1}};
  for (const auto& r : reports) {
    EXPECT_EQ(selvarn::testing::ErrorNumberOf([&] { store.StoreReport(r); }), 5);
  }
  const SentMessage sends[] = {{"1", "x", Coding::Gsm7, {}},
                               {"1", "x", Coding::Gsm7, {1, 256}},
                               {"1", "x", Coding::Gsm7, {-1}},
                               {"1", "x", static_cast<Coding>(3), {1}}};
  for (const auto& s : sends) {
    EXPECT_EQ(selvarn::testing::ErrorNumberOf([&] { store.RecordSent(s); }), 5);
  }
  EXPECT_TRUE(store.Inbox().empty());
  EXPECT_TRUE(store.Outbox().empty());
  EXPECT_TRUE(store.Reports().empty());
}

}  // namespace
}  // namespace selvarn::store::testing
