// The outbox of a sending service: keys that queue once, attempts that end short and go
// again, what a dead sender left, the states reported, forwards and id cursors.
#include <gtest/gtest.h>

#include <ctime>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "store/message_store.hpp"
#include "store/steps.hpp"
#include "support/errors.hpp"
#include "support/files.hpp"
#include "support/holders.hpp"

namespace selvarn::store::testing {
namespace {

using selvarn::testing::ErrorNumberOf;
using Ids = std::vector<std::int64_t>;

class Outbox : public ::testing::Test {
 protected:
  selvarn::testing::TempDir tmp_;
  std::string path_ = tmp_.path + "/messages.db";
};

QueuedMessage ObMessage(int parts, std::string key = "") {
  QueuedMessage m{"+60125550147", std::string(parts == 1 ? 1 : 153 * (parts - 1) + 10, 'a')};
  m.idempotency_key = std::move(key);
  return m;
}

// Claims the message and takes the steps (as ApplyStep writes them); 0 when it could.
int ObAttempt(const std::string& path, std::int64_t id, const std::string& steps,
              const std::string& modem = "m1") {
  MessageStore store(path);
  if (!store.Claim(id, modem)) return 1;
  std::istringstream words(steps);
  for (std::string w; words >> w;) ApplyStep(store, id, w);
  return 0;
}

// The outbox state, then each part: w waiting, W writing, t taken, U uncertain, r refused.
std::string ObState(MessageStore& store, std::int64_t id) {
  const SentRecord r = *store.Sent(id);
  std::string out = ToString(StateOf(r)) + std::string(" ");
  for (const SentPart& p : r.parts) out += "wWtUr"[static_cast<int>(p.send)];
  return out;
}

TEST_F(Outbox, AKeyQueuesOnceAndAClaimTakesOnce) {
  MessageStore store(path_);
  const std::int64_t first = store.EnqueueOnce(ObMessage(1, "k1")).id;
  store.GiveUp(first, "no");
  // Another text with the same key finds the first message, whatever became of it.
  const std::pair<QueuedMessage, bool> cases[] = {
      {ObMessage(2, "k1"), true}, {ObMessage(1, "k2"), false}, {ObMessage(1), false},
      {ObMessage(1), false},      {ObMessage(1, "k1"), true},
  };
  for (const auto& [message, existed] : cases) {
    const Enqueued e = store.EnqueueOnce(message);
    EXPECT_EQ(e.existed, existed) << message.idempotency_key;
    EXPECT_EQ(e.id == first, existed) << message.idempotency_key;
  }
  EXPECT_EQ(ErrorNumberOf([&] { store.Enqueue(ObMessage(1, "k1")); }), 5);
  EXPECT_EQ(store.QueuedCount(), 3);
  EXPECT_FALSE(store.Claim(999, "m1"));

  // Two connections racing: one message for each key, both told its id; one claim each.
  std::vector<Enqueued> got[2];
  std::vector<bool> claimed[2];
  std::vector<std::thread> threads;
  threads.reserve(2);
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      MessageStore own(path_);
      for (int k = 0; k < 30; ++k) {
        got[t].push_back(own.EnqueueOnce(ObMessage(1, "r" + std::to_string(k))));
        claimed[t].push_back(own.Claim(got[t].back().id, "m" + std::to_string(t)));
      }
    });
  }
  for (auto& t : threads) t.join();
  for (std::size_t k = 0; k < 30; ++k) {
    EXPECT_EQ(got[0][k].id, got[1][k].id) << k;
    EXPECT_NE(got[0][k].existed, got[1][k].existed) << k;
    EXPECT_NE(claimed[0][k], claimed[1][k]) << k;
  }
  EXPECT_EQ(store.QueuedCount(), 3);
  // Where it may go and its key are kept; the first reference kept stays.
  QueuedMessage routed = ObMessage(1, "k3");
  routed.modem = "m2";
  routed.tag = "t";
  routed.queued_at = std::time(nullptr) + 1000;
  const std::int64_t id = store.Enqueue(routed);
  EXPECT_EQ(store.Queued().back().message, routed);
  const SentRecord r = *store.Sent(id);
  EXPECT_EQ(r.route_modem + r.route_tag + r.idempotency_key + std::to_string(r.queued_at),
            "m2tk3" + std::to_string(routed.queued_at));
  EXPECT_EQ(store.KeepReference(id, 9) * 1000 + store.KeepReference(id, 10), 9009);
  EXPECT_EQ(ErrorNumberOf([&] { store.KeepReference(id, 256); }), 5);
}

// What a sender may do with a claimed message after its attempt: queue it again (taken parts
// kept) or give it up; never one with a part that may have gone, or one that went whole.
TEST_F(Outbox, AnAttemptThatEndedShortGoesAgainOrEnds) {
  struct Case {
    const char* steps;  // "-": not claimed; "direct": a send not queued
    char action;        // Requeue, GiveUp, MarkUncertain
    int error;
    const char* after;
  } cases[] = {
      {"-", 'R', 5, "queued www"},
      {"-", 'G', 0, "failed www"},
      {"", 'R', 0, "queued www"},
      {"", 'G', 0, "failed www"},
      {"W1 T1 R2", 'R', 0, "queued tww"},
      {"W1 T1 R2", 'G', 0, "failed trw"},
      {"W1 T1 R2", 'U', 0, "uncertain tUw"},
      {"W1 T1", 'U', 5, "sending tww"},
      {"-", 'U', 5, "queued www"},
      {"R1 G", 'U', 5, "failed rww"},
      {"W1 T1 F", 'R', 0, "queued tww"},
      {"W1 T1", 'R', 0, "queued tww"},
      {"W1 T1 W2", 'R', 5, "sending tWw"},
      {"W1 T1 W2", 'G', 5, "sending tWw"},
      {"W1 U1", 'R', 5, "uncertain Uww"},
      {"W1 U1", 'G', 5, "uncertain Uww"},
      {"W1 T1 W2 T2 W3 T3", 'R', 5, "sent ttt"},
      {"W1 T1 W2 T2 W3 T3", 'G', 5, "sent ttt"},
      {"R1 G", 'R', 5, "failed rww"},
      {"R1 G", 'G', 5, "failed rww"},
      {"direct", 'R', 5, "sending www"},
      {"direct", 'G', 5, "sending www"},
  };
  MessageStore store(path_);
  for (const Case& c : cases) {
    const std::string steps = c.steps;
    SCOPED_TRACE(steps + " " + c.action);
    std::int64_t id = 0;
    if (steps == "direct") {
      id = store.BeginSend({"+60125550147", "hi", Coding::Gsm7, 3});
    } else {
      id = store.Enqueue(ObMessage(3));
      ASSERT_EQ(steps == "-" ? 0 : ObAttempt(path_, id, steps), 0);
    }
    EXPECT_EQ(ErrorNumberOf([&] {
                if (c.action == 'R') return store.Requeue(id, 500, "busy");
                if (c.action == 'U') return store.MarkUncertain(id, "timed out");
                store.GiveUp(id, "refused for good");
              }),
              c.error);
    EXPECT_EQ(ObState(store, id), c.after);
    if (c.action == 'U') {
      EXPECT_EQ(store.Sent(id)->error == "timed out", c.error == 0);
      EXPECT_EQ(store.Claim(id, "m2"), std::string(c.after).starts_with("queued"));
      continue;
    }
    if (c.error != 0 || c.action == 'G') {
      EXPECT_EQ(store.Sent(id)->error == "refused for good", c.error == 0);
      EXPECT_EQ(store.Claim(id, "m2"), std::string(c.after).starts_with("queued"));
      continue;
    }
    const QueuedRecord q = store.Queued().back();
    EXPECT_EQ(q.id, id);
    EXPECT_EQ(q.not_before, 500);
    EXPECT_EQ(q.taken, steps.starts_with("W1 T1") ? std::vector<int>{1} : std::vector<int>{});
    EXPECT_EQ(q.attempts, steps == "-" ? 0 : 1);
    EXPECT_EQ(store.Sent(id)->error, "busy");
    // Queued again, it is no longer the old attempt's to write.
    EXPECT_EQ(ErrorNumberOf([&] { store.PartWriting(id, 3); }), 5);
    // Claimed again: its error goes, the attempt counts, the claimer is kept.
    ASSERT_TRUE(store.Claim(id, "m2"));
    const SentRecord again = *store.Sent(id);
    EXPECT_EQ(again.error + again.modem + std::to_string(again.attempts), "m22");
  }
}

// After a restart: only what a sender that no longer runs left, with nothing out, goes back;
// a part it was writing may have gone, so that message goes back only when asked.
TEST_F(Outbox, RecoverTakesBackWhatADeadSenderLeft) {
  struct Case {
    const char* steps;
    bool dead, resend_uncertain, again;
    const char* after;
    const char* modem = "m1";  // "": claimed by a plain watch, which answers for what ended
  } cases[] = {
      {"", true, false, true, "queued www"},
      {"W1 T1", true, false, true, "queued tww"},
      {"W1 T1 F", true, false, true, "queued tww"},
      {"W1 T1 W2", true, false, false, "uncertain tUw"},
      {"W1 T1 W2", true, true, true, "queued tww"},
      {"W1 U1", true, false, false, "uncertain Uww"},
      {"W1 U1", true, true, true, "queued www"},
      {"W1 T1 R2", true, true, false, "failed trw"},
      {"R1 G", true, true, false, "failed rww"},
      {"W1 T1 W2 T2 W3 T3", true, true, false, "sent ttt"},
      {"W1 T1 W2 T2 W3", true, true, true, "queued ttw"},
      {"W1 T1 F", true, true, false, "failed tww", ""},
      {"W1 T1", true, true, true, "queued tww", ""},
      {"W1 T1", false, true, false, "sending tww"},
      {"W1 T1 W2", false, true, false, "sending tWw"},
      {"W1 U1", false, true, false, "uncertain Uww"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.steps) + (c.dead ? " dead" : " live") +
                 (c.resend_uncertain ? " resend" : ""));
    const std::string path = tmp_.path + "/" + std::to_string(++n) + ".db";
    MessageStore store(path);
    const std::int64_t id = store.Enqueue(ObMessage(3));
    // A child that exits is a sender that died; this process is one that runs.
    const auto attempt = [&] { return ObAttempt(path, id, c.steps, c.modem); };
    ASSERT_EQ(c.dead ? selvarn::testing::InChild(attempt) : attempt(), 0);
    EXPECT_EQ(store.Recover(c.resend_uncertain), c.again ? Ids{id} : Ids{});
    EXPECT_EQ(ObState(store, id), c.after);
    EXPECT_TRUE(store.Recover(c.resend_uncertain).empty());  // queued once
    for (const QueuedRecord& q : store.Queued()) EXPECT_EQ(q.not_before, 0);
  }
}

// Another process that still runs may be between two parts: its message is its own.
TEST_F(Outbox, AnotherLiveSendersMessageIsLeftAlone) {
  MessageStore store(path_);
  const std::int64_t id = store.Enqueue(ObMessage(2));
  const pid_t sender =
      selvarn::testing::Holding([&] { return ObAttempt(path_, id, "W1 T1") == 0; });
  ASSERT_GT(sender, 0);
  EXPECT_EQ(ErrorNumberOf([&] { store.Requeue(id, 0, "mine now"); }), 5);
  EXPECT_EQ(ErrorNumberOf([&] { store.GiveUp(id, "mine now"); }), 5);
  EXPECT_TRUE(store.Recover(true).empty());
  selvarn::testing::Kill(sender);
  EXPECT_EQ(store.Recover(false), Ids{id});
}

TEST(OutboxState, FollowsTheSendThenTheReports) {
  const std::tuple<SendState, DeliveryState, std::string> cases[] = {
      {SendState::Queued, DeliveryState::Pending, "queued"},
      {SendState::Sending, DeliveryState::Pending, "sending"},
      {SendState::Sent, DeliveryState::Pending, "sent"},
      {SendState::Sent, DeliveryState::Delivered, "delivered"},
      {SendState::Sent, DeliveryState::Failed, "failed"},
      {SendState::PartlySent, DeliveryState::Delivered, "failed"},
      {SendState::NotSent, DeliveryState::Pending, "failed"},
      {SendState::Uncertain, DeliveryState::Delivered, "uncertain"},
  };
  for (const auto& [send, delivery, name] : cases) {
    SentRecord r;
    r.send_state = send;
    r.state = delivery;
    EXPECT_EQ(ToString(StateOf(r)), name) << ToString(send) << " " << ToString(delivery);
  }
}

ReceivedPart ObPart(int total, int seq, std::int64_t at) {
  ReceivedPart p;
  p.sender = "+60125550147";
  p.text = "p" + std::to_string(seq);
  p.received_at = at;
  if (total > 1) p.concat = Concatenation{total * 10, 8, total, seq};
  return p;
}

// Each forward as kind, item, target and failures: "m1>a/0".
std::string ObDue(MessageStore& store, std::int64_t now) {
  std::string out;
  for (const Forward& f : store.DueForwards(now)) {
    out += (out.empty() ? "" : " ") + std::string(f.kind == Forward::Kind::Report ? "r" : "m") +
           std::to_string(f.item_id) + ">" + f.target + "/" + std::to_string(f.attempts);
  }
  return out;
}

// Each received message and report goes to each target of its kind until done, again
// after a failure once its time has come.
TEST_F(Outbox, ForwardsStayDueUntilDone) {
  MessageStore store(path_);
  store.StorePart(ObPart(1, 1, 50));  // message 1
  store.StorePart(ObPart(2, 1, 50));  // message 2, incomplete
  store.StoreReport({5, "+60125550147", "t", "d", 0, 60});
  EXPECT_EQ(store.ScheduleForwards({"a", "command"}, {}, 100), 2);
  EXPECT_TRUE(store.NewReports().empty());  // no target: handed out all the same
  EXPECT_EQ(ObDue(store, 99), "");
  EXPECT_EQ(ObDue(store, 100), "m1>a/0 m1>command/0");
  const std::vector<Forward> due = store.DueForwards(100);
  store.ForwardFailed(due[0].id, 160, "503");
  store.ForwardDone(due[1].id);
  EXPECT_EQ(ObDue(store, 159), "");
  EXPECT_EQ(ObDue(store, 160), "m1>a/1");
  const Forward retry = store.DueForwards(160)[0];
  EXPECT_EQ(retry.error + " " + std::to_string(retry.due_at), "503 160");
  // What arrives later is taken once.
  store.StorePart(ObPart(2, 2, 170));
  store.StoreReport({6, "+60125550147", "t", "d", 0, 170});
  EXPECT_EQ(store.ScheduleForwards({"a"}, {"b"}, 180), 2);
  EXPECT_EQ(store.ScheduleForwards({"a"}, {"b"}, 190), 0);
  EXPECT_EQ(ObDue(store, 180), "m1>a/1 m2>a/0 r2>b/0");
  EXPECT_EQ(store.DueForwards().size() * 10 + store.DueForwards(180, 1).size(), 31u);
  store.ForwardDone(due[0].id);
  store.ForwardFailed(due[0].id, 500, "late");  // delivered meanwhile: stays done
  EXPECT_EQ(store.PendingForwards(), 2);
  EXPECT_EQ(ErrorNumberOf([&] { store.ForwardDone(999); }), 5);
  EXPECT_EQ(ErrorNumberOf([&] { store.ForwardFailed(999, 1, "x"); }), 5);
  EXPECT_EQ(ErrorNumberOf([&] { store.ScheduleForwards({""}, {}, 1); }), 5);
}

// Id cursors pass over nothing, not even a message whose parts are still arriving.
TEST_F(Outbox, CursorsMissNothing) {
  MessageStore store(path_);  // incomplete for 600 s: still arriving
  const std::int64_t now = std::time(nullptr);
  store.StorePart(ObPart(1, 1, now));
  store.StorePart(ObPart(2, 1, now));
  store.StorePart(ObPart(3, 1, now - 700));
  const auto inbox = [&](std::int64_t after, int limit) {
    std::string out;
    for (const Message& m : store.InboxAfter(after, limit))
      out += std::to_string(m.id) + (m.Complete() ? " " : "* ");
    return out;
  };
  EXPECT_EQ(inbox(0, 100), "1 ");
  EXPECT_EQ(inbox(2, 100), "3* ");  // old enough to show incomplete, as Inbox shows it
  store.StorePart(ObPart(2, 2, now));
  EXPECT_EQ(inbox(0, 100), "1 2 3* ");
  EXPECT_EQ(inbox(1, 1), "2 ");
  for (int k = 1; k <= 3; ++k) store.StoreReport({k, "+60125550147", "t", "d", 0, 100 - k});
  const auto reports = [&](std::int64_t after, int limit) {
    std::string out;
    for (const StoredReport& r : store.ReportsAfter(after, limit)) out += std::to_string(r.id);
    return out;
  };
  EXPECT_EQ(reports(0, 2) + " " + reports(2, 100) + " " + reports(3, 100), "12 3 ");
  EXPECT_EQ(ErrorNumberOf([&] { store.InboxAfter(0, 0); }), 5);
}

}  // namespace
}  // namespace selvarn::store::testing
