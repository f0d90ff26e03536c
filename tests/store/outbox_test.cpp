// The outbox of a sending service: keys that queue once, attempts that end short and go
// again, what a dead sender left, the states reported, forwards and id cursors.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "selvarn/error.hpp"
#include "store/message_store.hpp"
#include "support/errors.hpp"
#include "support/files.hpp"

namespace selvarn::store::testing {
namespace {

using selvarn::testing::ErrorNumberOf;

class Outbox : public ::testing::Test {
 protected:
  selvarn::testing::TempDir tmp_;
  std::string path_ = tmp_.path + "/messages.db";
};

QueuedMessage ObMessage(int parts, std::string key = "") {
  QueuedMessage m{"+60125550147", std::string(static_cast<std::size_t>(parts - 1) * 153 + 1, 'a')};
  m.idempotency_key = std::move(key);
  return m;
}

// Steps of one attempt, as parts go: W<k> writing, T<k> taken (reference 40 + k), R<k>
// refused, U<k> no answer, F the send failed between parts, G given up.
void ObApply(MessageStore& store, std::int64_t id, const std::string& steps) {
  std::istringstream words(steps);
  for (std::string w; words >> w;) {
    const int part = w.size() > 1 ? w[1] - '0' : 0;
    switch (w[0]) {
      case 'W':
        store.PartWriting(id, part);
        break;
      case 'T':
        store.PartTaken(id, part, 40 + part);
        break;
      case 'R':
        store.PartFailed(id, part, false, "+CMS ERROR: 42");
        break;
      case 'U':
        store.PartFailed(id, part, true, "no answer");
        break;
      case 'F':
        store.SendFailed(id, "error 75");
        break;
      default:
        store.GiveUp(id, "enough");
    }
  }
}

// The outbox state, then each part: w waiting, W writing, t taken, U uncertain, r refused.
std::string ObState(MessageStore& store, std::int64_t id) {
  const SentRecord r = *store.Sent(id);
  std::string out = ToString(StateOf(r));
  out += ' ';
  for (const SentPart& p : r.parts) out += "wWtUr"[static_cast<int>(p.send)];
  return out;
}

TEST_F(Outbox, AKeyQueuesOnceWhoeverHandsItOver) {
  MessageStore store(path_);
  const Enqueued first = store.EnqueueOnce(ObMessage(1, "k1"));
  struct Case {
    QueuedMessage message;
    bool existed;
  } cases[] = {
      {ObMessage(2, "k1"), true},  // another text, the same key: the first message stands
      {ObMessage(1, "k2"), false},
      {ObMessage(1), false},  // no key: each is new
      {ObMessage(1), false},
  };
  for (const Case& c : cases) {
    const Enqueued e = store.EnqueueOnce(c.message);
    EXPECT_EQ(e.existed, c.existed) << c.message.idempotency_key;
    EXPECT_EQ(e.id == first.id, c.existed) << c.message.idempotency_key;
  }
  EXPECT_EQ(store.QueuedCount(), 4);
  // Given up, it still holds its key; plain Enqueue refuses the key.
  store.GiveUp(first.id, "no");
  EXPECT_EQ(store.EnqueueOnce(ObMessage(1, "k1")).id, first.id);
  EXPECT_EQ(ErrorNumberOf([&] { store.Enqueue(ObMessage(1, "k1")); }), 5);
  EXPECT_EQ(store.QueuedCount(), 3);

  // Two connections racing with the same keys: one message each, both told its id.
  std::vector<Enqueued> got[2];
  std::vector<std::thread> threads;
  for (auto& out : got) {
    threads.emplace_back([&out, this] {
      MessageStore own(path_);
      for (int k = 0; k < 30; ++k)
        out.push_back(own.EnqueueOnce(ObMessage(1, "r" + std::to_string(k))));
    });
  }
  for (auto& t : threads) t.join();
  for (std::size_t k = 0; k < 30; ++k) {
    EXPECT_EQ(got[0][k].id, got[1][k].id) << k;
    EXPECT_NE(got[0][k].existed, got[1][k].existed) << k;
  }
  EXPECT_EQ(store.QueuedCount(), 33);
}

// What a sender may do with a claimed message after its attempt: queue it again (taken parts
// kept) or give it up; never one with a part that may have gone, or one that went whole.
TEST_F(Outbox, AnAttemptThatEndedShortGoesAgainOrEnds) {
  struct Case {
    const char* steps;  // "-": not claimed; "direct": a send not queued
    char action;        // Requeue, GiveUp
    int error;
    const char* after;
  } cases[] = {
      {"-", 'R', 5, "queued www"},
      {"-", 'G', 0, "failed www"},
      {"", 'R', 0, "queued www"},
      {"", 'G', 0, "failed www"},
      {"W1 T1 R2", 'R', 0, "queued tww"},
      {"W1 T1 R2", 'G', 0, "failed trw"},
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
      if (steps != "-") {
        ASSERT_TRUE(store.Claim(id, "m1"));
        ObApply(store, id, steps);
      }
    }
    EXPECT_EQ(ErrorNumberOf([&] {
                if (c.action == 'R') return store.Requeue(id, 500, "busy");
                store.GiveUp(id, "refused for good");
              }),
              c.error);
    EXPECT_EQ(ObState(store, id), c.after);
    if (c.error != 0) continue;
    const SentRecord r = *store.Sent(id);
    EXPECT_EQ(r.error, c.action == 'R' ? "busy" : "refused for good");
    if (c.action == 'G') {
      EXPECT_FALSE(store.Claim(id, "m2"));
      continue;
    }
    EXPECT_EQ(r.not_before, 500);
    bool listed = false;
    for (const QueuedRecord& q : store.Queued()) {
      if (q.id != id) continue;
      listed = true;
      EXPECT_EQ(q.not_before, 500);
      EXPECT_EQ(q.taken, steps.starts_with("W1 T1") ? std::vector<int>{1} : std::vector<int>{});
      EXPECT_EQ(q.attempts, steps == "-" ? 0 : 1);
    }
    EXPECT_TRUE(listed);
    // Queued again, it is no longer the old attempt's to write.
    EXPECT_EQ(ErrorNumberOf([&] { store.PartWriting(id, 3); }), 5);
    // Claimed again: its error goes, the attempt counts, the claimer is kept.
    ASSERT_TRUE(store.Claim(id, "m2"));
    const SentRecord again = *store.Sent(id);
    EXPECT_EQ(again.error, "");
    EXPECT_EQ(again.attempts, 2);
    EXPECT_EQ(again.modem, "m2");
    EXPECT_EQ(StateOf(again), OutboxState::Sending);
  }
}

// After a restart: only what a sender that no longer runs left, with nothing out, goes back;
// a part it was writing may have gone, so that message goes back only when asked.
TEST_F(Outbox, RecoverTakesBackWhatADeadSenderLeft) {
  struct Case {
    const char* steps;
    bool dead;
    bool resend_uncertain;
    bool again;
    const char* after;
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
    const auto attempt = [&] {
      MessageStore own(path);
      if (!own.Claim(id, "m1")) return 1;
      ObApply(own, id, c.steps);
      return 0;
    };
    // A child that exits is a sender that died; this process is one that runs.
    ASSERT_EQ(c.dead ? selvarn::testing::InChild(attempt) : attempt(), 0);
    const std::vector<std::int64_t> again = store.Recover(c.resend_uncertain);
    EXPECT_EQ(again, c.again ? std::vector<std::int64_t>{id} : std::vector<std::int64_t>{});
    EXPECT_EQ(ObState(store, id), c.after);
    // What went back is queued once: a second look finds nothing more.
    EXPECT_TRUE(store.Recover(c.resend_uncertain).empty());
  }
}

// Another process that still runs may be between two parts: its message is its own.
TEST_F(Outbox, AnotherLiveSendersMessageIsLeftAlone) {
  MessageStore store(path_);
  const std::int64_t id = store.Enqueue(ObMessage(2));
  int go[2], ready[2];
  ASSERT_EQ(pipe(go) + pipe(ready), 0);
  const pid_t child = fork();
  if (child == 0) {
    close(go[1]);  // so that the parent's close ends the wait
    MessageStore own(path_);
    const bool claimed = own.Claim(id, "m1");
    char c = claimed ? '1' : '0';
    if (write(ready[1], &c, 1) != 1 || read(go[0], &c, 1) < 0) _exit(2);
    _exit(claimed ? 0 : 1);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, '1');
  EXPECT_EQ(ErrorNumberOf([&] { store.Requeue(id, 0, "mine now"); }), 5);
  EXPECT_EQ(ErrorNumberOf([&] { store.GiveUp(id, "mine now"); }), 5);
  EXPECT_TRUE(store.Recover(true).empty());
  close(go[1]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(store.Recover(false), std::vector<std::int64_t>{id});
  for (const int fd : {go[0], ready[0], ready[1]}) close(fd);
}

TEST(OutboxState, FollowsTheSendThenTheReports) {
  struct Case {
    SendState send;
    DeliveryState delivery;
    OutboxState state;
    const char* name;
  } cases[] = {
      {SendState::Queued, DeliveryState::Pending, OutboxState::Queued, "queued"},
      {SendState::Sending, DeliveryState::Pending, OutboxState::Sending, "sending"},
      {SendState::Sent, DeliveryState::Pending, OutboxState::Sent, "sent"},
      {SendState::Sent, DeliveryState::Delivered, OutboxState::Delivered, "delivered"},
      {SendState::Sent, DeliveryState::Failed, OutboxState::Failed, "failed"},
      {SendState::PartlySent, DeliveryState::Delivered, OutboxState::Failed, "failed"},
      {SendState::NotSent, DeliveryState::Pending, OutboxState::Failed, "failed"},
      {SendState::Uncertain, DeliveryState::Delivered, OutboxState::Uncertain, "uncertain"},
  };
  for (const Case& c : cases) {
    SentRecord r;
    r.send_state = c.send;
    r.state = c.delivery;
    EXPECT_EQ(StateOf(r), c.state) << ToString(c.send) << " " << ToString(c.delivery);
    EXPECT_EQ(ToString(c.state), std::string(c.name));
  }
}

ReceivedPart ObPart(int total, int seq, std::int64_t at) {
  ReceivedPart p;
  p.sender = "+60125550147";
  p.scts = "24/05/01,10:00:00+08";
  p.text = "p" + std::to_string(seq);
  p.received_at = at;
  if (total > 1) p.concat = Concatenation{total * 10, 8, total, seq};
  return p;
}

// Each forward as kind, item, target and attempts: "m1>a/0".
std::string ObForwards(const std::vector<Forward>& due) {
  std::string out;
  for (const Forward& f : due) {
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
  EXPECT_EQ(ObForwards(store.DueForwards(100)), "m1>a/0 m1>command/0");
  EXPECT_EQ(ObForwards(store.DueForwards(99)), "");
  EXPECT_TRUE(store.NewReports().empty());  // no target: handed out all the same
  const std::vector<Forward> due = store.DueForwards(100);
  store.ForwardFailed(due[0].id, 160, "503");
  store.ForwardDone(due[1].id);
  EXPECT_EQ(ObForwards(store.DueForwards(159)), "");
  const std::vector<Forward> retry = store.DueForwards(160);
  EXPECT_EQ(ObForwards(retry), "m1>a/1");
  EXPECT_EQ(retry[0].error, "503");
  EXPECT_EQ(store.PendingForwards(), 1);
  // What arrives later is taken once; what was taken is not taken again.
  store.StorePart(ObPart(2, 2, 170));
  store.StoreReport({6, "+60125550147", "t", "d", 0, 170});
  EXPECT_EQ(store.ScheduleForwards({"a"}, {"b"}, 180), 2);
  EXPECT_EQ(store.ScheduleForwards({"a"}, {"b"}, 190), 0);
  EXPECT_EQ(ObForwards(store.DueForwards(180)), "m1>a/1 m2>a/0 r2>b/0");
  store.ForwardDone(retry[0].id);
  store.ForwardFailed(retry[0].id, 500, "late");  // delivered already: stays done
  EXPECT_EQ(store.PendingForwards(), 2);
  EXPECT_EQ(ErrorNumberOf([&] { store.ForwardDone(999); }), 5);
  EXPECT_EQ(ErrorNumberOf([&] { store.ScheduleForwards({""}, {}, 1); }), 5);
}

// Id cursors: nothing is passed over, not even a message whose parts are still arriving.
TEST_F(Outbox, CursorsMissNothing) {
  MessageStore::Options options;
  options.incomplete_after = 600;
  MessageStore store(path_, options);
  const std::int64_t now = std::time(nullptr);
  store.StorePart(ObPart(1, 1, now));
  store.StorePart(ObPart(2, 1, now));  // still arriving
  store.StorePart(ObPart(3, 1, now - 700));
  store.StorePart(ObPart(3, 2, now - 700));
  const auto ids = [](const std::vector<Message>& ms) {
    std::string out;
    for (const Message& m : ms) out += std::to_string(m.id) + (m.Complete() ? " " : "* ");
    return out;
  };
  EXPECT_EQ(ids(store.InboxAfter(0)), "1 ");
  // Message 3 is old enough to show incomplete, as Inbox shows it.
  EXPECT_EQ(ids(store.InboxAfter(2)), "3* ");
  store.StorePart(ObPart(2, 2, now));
  EXPECT_EQ(ids(store.InboxAfter(0)), "1 2 3* ");
  EXPECT_EQ(ids(store.InboxAfter(1, 1)), "2 ");
  for (int k = 1; k <= 3; ++k) store.StoreReport({k, "+60125550147", "t", "d", 0, 100 - k});
  const auto reports = [&](std::int64_t after, int limit) {
    std::string out;
    for (const StoredReport& r : store.ReportsAfter(after, limit))
      out += std::to_string(r.report.reference) + " ";
    return out;
  };
  EXPECT_EQ(reports(0, 2), "1 2 ");
  EXPECT_EQ(reports(2, 100), "3 ");
  EXPECT_EQ(reports(3, 100), "");
  EXPECT_EQ(ErrorNumberOf([&] { store.InboxAfter(0, 0); }), 5);
}

}  // namespace
}  // namespace selvarn::store::testing
