// The message store: received parts joined into messages, sends matched with their
// delivery reports, and the file: private, migrated in steps, refused when not ours,
// never half written.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "platform/process_tag.hpp"
#include "selvarn/error.hpp"
#include "store/message_store.hpp"
#include "store/schema.hpp"
#include "store/steps.hpp"
#include "support/errors.hpp"
#include "support/files.hpp"

namespace selvarn::store::testing {
namespace {

using selvarn::testing::InChild;
using selvarn::testing::Slurp;

// A fresh folder under /tmp for each test, removed afterwards.
class StoreTest : public ::testing::Test {
 protected:
  std::string File(const std::string& name = "messages.db") const { return dir_ + "/" + name; }

  // Incomplete messages show at once, so listings show everything stored.
  static MessageStore::Options ShowAll() {
    MessageStore::Options o;
    o.incomplete_after = 0;
    return o;
  }

  selvarn::testing::TempDir tmp_;
  std::string dir_ = tmp_.path;
};

// Each message as its parts' texts joined by "|": "*" in front when incomplete, "!N"
// after when N conflicting texts were set aside.
inline std::string Render(const std::vector<Message>& messages) {
  std::string out;
  for (const Message& m : messages) {
    if (!out.empty()) out += " / ";
    if (!m.Complete()) out += "*";
    for (const Part& p : m.parts)
      out += (p.sequence == m.parts.front().sequence ? "" : "|") + p.text;
    if (!m.conflicts.empty()) out += "!" + std::to_string(m.conflicts.size());
  }
  return out;
}

inline ReceivedPart PartOf(int ref, int total, int seq, std::string text, std::int64_t at = 1000,
                           std::string scts = "24/05/01,10:00:00+08") {
  ReceivedPart p;
  p.sender = "+60125550147";
  p.smsc = "+60120000015";
  p.scts = std::move(scts);
  p.text = std::move(text);
  p.received_at = at;
  p.concat = Concatenation{ref, 8, total, seq};
  return p;
}

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

// A part and a conflicting text set aside keep every field they came with.
TEST_F(StoreTest, EveryFieldOfAPartAndAConflictComesBack) {
  MessageStore store(File(), ShowAll());
  ReceivedPart one = PartOf(300, 2, 1, "hello ", 990),
               clash = PartOf(300, 2, 1, "earth", 995, "t3");
  one.pdu = "07911614";
  one.sim_index = 4;
  clash.pdu = "FF";
  one.concat->reference_bits = clash.concat->reference_bits = 16;
  store.StorePart(one);
  store.StorePart(clash);
  const Message m = store.Inbox().at(0);
  EXPECT_EQ(m.sender + " " + std::to_string(m.total) + " " + std::to_string(m.received_at),
            "+60125550147 2 990");
  EXPECT_EQ(m.concat, (Concatenation{300, 16, 2, 0}));
  EXPECT_EQ(m.parts, (std::vector<Part>{{1, "+60120000015", "24/05/01,10:00:00+08", "hello ",
                                         "07911614", 4, 990}}));
  EXPECT_EQ(m.conflicts, (std::vector<Conflict>{{1, "t3", "earth", "FF", 995}}));
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
  const auto part = [&](int bits, int ref) {
    ReceivedPart p = PartOf(ref, 2, 1, "x");
    p.concat->reference_bits = bits;
    return [&store, p] { store.StorePart(p); };
  };
  const auto report = [&](int ref, int st) {
    return [&store, ref, st] { store.StoreReport({ref, "1", "", "", st}); };
  };
  const auto sent = [&](std::vector<int> refs, Coding coding = Coding::Gsm7) {
    return [&store, refs, coding] { store.RecordSent({"1", "x", coding, refs}); };
  };
  const std::function<void()> calls[] = {
      part(7, 0),    part(8, 256), part(16, 65536), report(256, 0),
      report(1, -1), sent({}),     sent({1, 256}),  sent({1}, static_cast<Coding>(3))};
  for (std::size_t i = 0; i < std::size(calls); ++i) {
    EXPECT_EQ(selvarn::testing::ErrorNumberOf(calls[i]), 5) << "call " << i;
  }
  EXPECT_TRUE(store.Inbox().empty() && store.Outbox().empty() && store.Reports().empty());
}

TEST(StateOfStatus, FollowsTheStatusRanges) {
  std::string got;  // the first letters of the states, at the edges of the ranges
  for (int st : {0, 31, 32, 63, 64, 95, 96, 127, 128, 255}) got += ToString(StateOfStatus(st))[0];
  EXPECT_EQ(got, "ddppffffff");
}

TEST(SameNumber, MatchesTheFormsOfOneNumberOnly) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"+60125550147", "60125550147", true},
      {"+60125550147", "012-555 0147", true},  // national form, country code 60
      {"+1 555 0100", "5550100", true},        // seven digits are enough
      {"+353871234567", "0871234567", true},   // a three-digit country code
      {"+60125550147", "+60125550148", false},
      {"+494015550147", "15550147", false},  // four extra digits are no country code
      {"+6012555", "12555", false},          // too short for a tail match
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

// SQL run on the file through a connection of its own.
std::int64_t RawQuery(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_stmt* st = nullptr;
  std::int64_t out = -1;
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK &&
      sqlite3_step(st) == SQLITE_ROW) {
    out = sqlite3_column_int64(st, 0);
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return out;
}

// The description of the RuntimeError 75 that f throws, "" for any other outcome.
template <typename F>
std::string FileError(F&& f) {
  try {
    f();
  } catch (const RuntimeError& e) {
    if (e.number() == 75) return e.description();
  }
  return "";
}

TEST_F(StoreTest, NewFileIsPrivateAndReopensWithItsMessages) {
  const std::string path = dir_ + "/a/b/messages.db";
  MessageStore(path).StorePart(PartOf(1, 1, 1, "kept"));
  struct stat file {
  }, folder{};
  ASSERT_EQ(stat(path.c_str(), &file) + stat((dir_ + "/a").c_str(), &folder), 0);
  EXPECT_EQ((file.st_mode & 0777) * 010000 + (folder.st_mode & 0777), 0600'0700U);
  EXPECT_EQ(Render(MessageStore(path).NewMessages()), "kept");
  EXPECT_EQ(RawQuery(path, "PRAGMA user_version"), schema::Migrations().back().version);
  EXPECT_EQ(RawQuery(path, "SELECT journal_mode = 'wal' FROM pragma_journal_mode"), 1);
}

TEST(DefaultPath, FollowsXdgDataHomeWhenAbsolute) {
  setenv("HOME", "/h", 1);
  setenv("XDG_DATA_HOME", "/x/data", 1);
  EXPECT_EQ(MessageStore::DefaultPath(), "/x/data/selvarn-sms/messages.db");
  setenv("XDG_DATA_HOME", "data", 1);
  EXPECT_EQ(MessageStore::DefaultPath(), "/h/.local/share/selvarn-sms/messages.db");
  unsetenv("XDG_DATA_HOME");
}

TEST_F(StoreTest, MigrationsRunInStepsAndAllOrNothing) {
  const schema::Migration steps[] = {{1, "CREATE TABLE a (x); INSERT INTO a VALUES (1);"},
                                     {2, "INSERT INTO a VALUES (2);"},
                                     {3, "INSERT INTO a VALUES (3); INSERT INTO b VALUES (1);"}};
  const std::string path = File();
  std::ofstream{path};  // empty, as the store makes it before opening
  sql::Database db(path);
  // Step 1 again would fail: a file at a step's version skips it.
  for (std::size_t known : {1, 1, 2}) schema::Migrate(db, std::span(steps, known));
  const char* rows_and_version =
      "SELECT count(*) * 10 + (SELECT * FROM pragma_user_version) FROM a";
  EXPECT_EQ(RawQuery(path, rows_and_version), 22);
  EXPECT_NE(FileError([&] { schema::Migrate(db, steps); }).find("migrating to schema version 3"),
            std::string::npos);
  EXPECT_EQ(RawQuery(path, rows_and_version), 22);
}

// Each step of a two-part send, in order: W<k> writing part k, T<k>:<ref> taken (-1 no
// reference), R<k> refused, U<k> no answer, F the send failed. Then the message's state
// and its parts'; or "error 5" at a step out of order.
TEST_F(StoreTest, SendsAreRecordedStepByStepAndInOrderOnly) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "sending not-sent not-sent"},
      {"W1", "sending sending not-sent"},
      {"W1 T1:5 W2 T2:6", "sent sent/5 sent/6"},
      {"W1 T1:-1 W2 T2:6", "sent sent/? sent/6"},
      {"W1 T1:5 R2", "partly-sent sent/5 refused"},
      {"W1 T1:5 W2 R2", "partly-sent sent/5 refused"},
      {"W1 T1:5 F", "partly-sent sent/5 not-sent"},
      {"R1", "not-sent refused not-sent"},
      {"F", "not-sent not-sent not-sent"},
      {"W1 U1", "uncertain uncertain not-sent"},
      {"W1 T1:5 W2 U2", "uncertain sent/5 uncertain"},
      {"T1:5", "error 5"},
      {"W1 W1", "error 5"},
      {"W1 T1:5 U1", "error 5"},
      {"W1 T1:256", "error 5"},
      {"W3", "error 5"},
  };
  MessageStore store(File());
  for (const auto& [steps, expected] : cases) {
    const std::int64_t id = store.BeginSend({"+60125550147", "hi", Coding::Gsm7, 2});
    std::string got;
    std::istringstream words(steps);
    for (std::string w; words >> w && got.empty();) {
      const int n = selvarn::testing::ErrorNumberOf([&] { ApplyStep(store, id, w); });
      if (n != 0) got = "error " + std::to_string(n);
    }
    if (got.empty()) {
      const SentRecord r = *store.Sent(id);
      got = ToString(r.send_state);
      for (const SentPart& p : r.parts) {
        got += std::string(" ") + ToString(p.send);
        if (p.send == PartSend::Taken)
          got += p.reference < 0 ? "/?" : "/" + std::to_string(p.reference);
      }
      // Only an ended send says why it ended.
      EXPECT_EQ(r.error.empty(), got.starts_with("sen")) << steps;
    }
    EXPECT_EQ(got, expected) << steps;
  }
}

// A file of each earlier version keeps what it held: its sends are sent, their parts taken,
// and their reports still find them; its messages and quarantined entries stay.
TEST_F(StoreTest, AFileOfAnEarlierVersionKeepsEverything) {
  const std::pair<std::size_t, const char*> versions[] = {
      {1,
       "INSERT INTO sent VALUES (1, '+60125550147', 'old', 0, 100);"
       "INSERT INTO sent_parts (sent_id, sequence, reference) VALUES (1, 1, 7), (1, 2, 8);"},
      {2,
       "INSERT INTO sent (id, recipient, text, coding, sent_at) VALUES "
       "(1, '+60125550147', 'old', 0, 100);"
       "INSERT INTO sent_parts (sent_id, sequence, reference, outcome) VALUES "
       "(1, 1, 7, 2), (1, 2, 8, 2);"
       "INSERT INTO quarantine (memory, sim_index, raw, error, received_at) VALUES "
       "('SM', 3, '0791', 'bad', 50);"},
      {3,
       "INSERT INTO sent (id, recipient, text, coding, sent_at) VALUES "
       "(1, '+60125550147', 'old', 0, 100);"
       "INSERT INTO sent_parts (sent_id, sequence, reference, outcome) VALUES "
       "(1, 1, 7, 2), (1, 2, 8, 2);"
       "INSERT INTO quarantine (memory, sim_index, raw, error, received_at) VALUES "
       "('SM', 3, '0791', 'bad', 50);"
       "INSERT INTO sent (id, recipient, text, coding, sent_at, queued, report, reference, "
       "queued_at) VALUES (2, '+60125550147', 'queued', 0, 120, 1, 0, 9, 120);"
       "INSERT INTO sent_parts (sent_id, sequence) VALUES (2, 1);"},
  };
  for (const auto& [version, rows] : versions) {
    const std::string path = File("v" + std::to_string(version) + ".db");
    {
      { std::ofstream created(path); }
      sql::Database db(path);
      schema::Migrate(db, schema::Migrations().first(version));
      db.Exec(rows);
      db.Exec(
          "INSERT INTO messages (id, sender, total, present, received_at, completed_at) "
          "VALUES (1, '+60125550147', 1, 1, 90, 90);"
          "INSERT INTO parts (message_id, sequence, sender, smsc, scts, text, pdu, sim_index, "
          "received_at) VALUES (1, 1, '+60125550147', '', 's', 'kept', '', 1, 90);"
          "INSERT INTO reports (reference, recipient, scts, discharge, status, received_at) "
          "VALUES (9, '+60125550147', 'a', 'b', 0, 150);");
      // From version 3 on, the file itself says what was handed out.
      if (version >= 3) db.Exec("UPDATE reports SET handed_out_at = 150");
    }
    MessageStore store(path);
    const ReportResult fresh = store.StoreReport({8, "0125550147", "t", "d", 0, 200});
    EXPECT_EQ(fresh.sequence, 2) << version;
    // Reports of before were handed out by then; the one stored now is new, until marked.
    const std::vector<StoredReport> reports = store.NewReports();
    ASSERT_EQ(reports.size(), 1u) << version;
    EXPECT_EQ(reports[0].id, fresh.report_id);
    EXPECT_EQ(reports[0].sent_id, std::optional<std::int64_t>(1));
    EXPECT_TRUE(store.MarkReportHandedOut(fresh.report_id));
    EXPECT_FALSE(store.MarkReportHandedOut(fresh.report_id));
    EXPECT_TRUE(store.NewReports().empty());
    EXPECT_EQ(store.Reports().size(), 2u);
    const SentRecord r = *store.Sent(1);
    EXPECT_EQ(r.send_state, SendState::Sent) << version;
    EXPECT_EQ(r.parts, (std::vector<SentPart>{{1, 7, DeliveryState::Pending, {}, {}},
                                              {2, 8, DeliveryState::Delivered, 0, 200}}))
        << version;
    EXPECT_EQ(Render(store.NewMessages()), "kept") << version;
    // A message queued before is still queued, untried, and goes as it did.
    const std::vector<QueuedRecord> queued = store.Queued();
    if (version == 3) {
      QueuedMessage m{"+60125550147", "queued", SendCoding::Auto, false, 9, 120};
      EXPECT_EQ(queued, (std::vector<QueuedRecord>{{2, m, Coding::Gsm7, 1}}));
      EXPECT_TRUE(store.Claim(2, "m1"));
      EXPECT_EQ(store.Sent(2)->attempts, 1);
    } else {
      EXPECT_TRUE(queued.empty()) << version;
    }
    EXPECT_EQ(store.Quarantine({0, "SM", 3, "0791", "bad again"}), 1) << version;
    EXPECT_EQ(store.Quarantined().size(), 1u) << version;
  }
}

// What a send would refuse is not queued; what is queued keeps what its send needs.
TEST_F(StoreTest, TheOutboxQueuesWhatASendWouldTake) {
  struct Case {
    QueuedMessage message;
    int error;
    Coding coding;
    int parts;
  };
  const Case cases[] = {
      {{"+60125550147", "hi", SendCoding::Auto, true, -1, 50}, 0, Coding::Gsm7, 1},
      {{"0125550147", std::string(161, 'a'), SendCoding::Auto, false, 255, 60}, 0, Coding::Gsm7, 2},
      {{"+60125550147", "hi", SendCoding::Ucs2, true, 0, 40}, 0, Coding::Ucs2, 1},
      {{"+60125550147", "\xd0\xb6", SendCoding::Auto, true, -1, 70}, 0, Coding::Ucs2, 1},
      {{"+60125550147", "", SendCoding::Auto, true, -1, 10}, 5, {}, 0},
      {{"+6012x", "hi", SendCoding::Auto, true, -1, 10}, 5, {}, 0},
      {{"", "hi", SendCoding::Auto, true, -1, 10}, 5, {}, 0},
      {{"+60125550147", "hi", SendCoding::Auto, true, 256, 10}, 5, {}, 0},
      {{"+60125550147", "hi", SendCoding::Auto, true, -2, 10}, 5, {}, 0},
      {{"+60125550147", std::string(153 * 255 + 1, 'a'), SendCoding::Auto, true, -1, 10}, 6, {}, 0},
  };
  MessageStore store(File());
  std::vector<QueuedRecord> expected;
  for (const Case& c : cases) {
    std::int64_t id = 0;
    EXPECT_EQ(selvarn::testing::ErrorNumberOf([&] { id = store.Enqueue(c.message); }), c.error)
        << c.message.recipient << " " << c.message.text.size();
    if (c.error == 0) expected.push_back({id, c.message, c.coding, c.parts});
  }
  // Oldest first, whatever the order they were queued in.
  std::sort(expected.begin(), expected.end(),
            [](const auto& a, const auto& b) { return a.message.queued_at < b.message.queued_at; });
  EXPECT_EQ(store.Queued(), expected);
  for (const QueuedRecord& q : expected) {
    const SentRecord r = *store.Sent(q.id);
    EXPECT_EQ(r.send_state, SendState::Queued);
    EXPECT_EQ(ToString(r.send_state), std::string("queued"));
    EXPECT_EQ(r.parts.size(), static_cast<std::size_t>(q.parts));
  }
}

TEST_F(StoreTest, FilesItCannotUseAreRefusedUntouched) {
  const std::string garbage = File("garbage.db");
  std::ofstream(garbage) << std::string(8192, 'x');
  const std::string other = File("other.db");
  RawQuery(other, "CREATE TABLE notes (t)");
  const std::string marked = File("marked.db");  // another program's, still empty
  RawQuery(marked, "PRAGMA application_id = 7");
  const std::string newer = File("newer.db");
  MessageStore{newer};
  RawQuery(newer, "PRAGMA user_version = 99");
  const std::pair<std::string, std::string> cases[] = {
      {garbage, "file is not a database"},
      {other, "not a selvarn-sms message store"},
      {marked, "not a selvarn-sms message store"},
      {newer, "schema version 99 was written by a newer selvarn-sms"},
      {garbage + "/sub/messages.db", "making the folder " + garbage + "/sub: Not a directory"},
  };
  for (const auto& [path, why] : cases) {
    const std::string before = Slurp(path);
    // Bound by name: clang 14 cannot capture a structured binding.
    const std::string error = FileError([&file = path] { MessageStore{file}; });
    EXPECT_NE(error.find("message store " + path + ": "), std::string::npos) << error;
    EXPECT_NE(error.find(why), std::string::npos) << error;
    EXPECT_EQ(Slurp(path), before) << path;
  }
}

TEST_F(StoreTest, ReadOnlyFileFailsClearly) {
  const std::string path = File();
  MessageStore{path};
  chmod(path.c_str(), 0444);
  chmod(dir_.c_str(), 0755);
  // Root may write anywhere, so the check runs as nobody.
  EXPECT_EQ(InChild([&] {
              if (geteuid() == 0 && setuid(65534) != 0) return 2;
              const auto e = FileError([&] { MessageStore{path}; });
              return e.find("Permission denied") != std::string::npos ? 0 : 1;
            }),
            0);
}

TEST_F(StoreTest, FullDiskLosesNothingStoredAndStoresNothingHalf) {
  const std::string path = File();
  MessageStore(path).StorePart(PartOf(1, 1, 1, "before"));
  const int stored = InChild([&] {
    std::signal(SIGXFSZ, SIG_IGN);
    MessageStore store(path);
    const rlimit limit{256 * 1024, 256 * 1024};  // the file system is full at 256 KiB
    setrlimit(RLIMIT_FSIZE, &limit);
    const std::string text(150, 'y');
    for (int i = 1; i < 250; ++i) {
      ReceivedPart p = PartOf(i % 256, 3, 1 + i % 3, text);
      p.pdu = std::string(2000, 'A');
      const std::string e = FileError([&] { store.StorePart(p); });
      if (e.find("storing a received part: disk I/O error") != std::string::npos) return i - 1;
      if (!e.empty()) return 250;
    }
    return 251;
  });
  ASSERT_LT(stored, 250) << "the limit was never reached";
  MessageStore store(path, ShowAll());
  std::size_t parts = 0;
  for (const Message& m : store.Inbox()) parts += m.parts.size();
  EXPECT_EQ(parts, static_cast<std::size_t>(stored) + 1);
  EXPECT_EQ(RawQuery(path,
                     "SELECT count(*) FROM messages WHERE present <> "
                     "(SELECT count(*) FROM parts WHERE message_id = messages.id)"),
            0);
  EXPECT_EQ(RawQuery(path, "SELECT 'ok' = (SELECT * FROM pragma_integrity_check)"), 1);
}

}  // namespace
}  // namespace selvarn::store::testing
