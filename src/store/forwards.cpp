// Received messages and reports to pass on: one row for each item and target, due until
// its delivery is done, so that each goes out at least once whatever stops in between.
#include <string>
#include <vector>

#include "selvarn/store.hpp"
#include "store/store_impl.hpp"

namespace selvarn::store {

namespace {

constexpr int kMessageKind = 0, kReportKind = 1;

std::vector<std::int64_t> Ids(sql::Database& db, const char* sql) {
  std::vector<std::int64_t> out;
  auto q = db.Prepare(sql);
  while (q.Step()) out.push_back(q.Int(0));
  return out;
}

void CheckTargets(const std::vector<std::string>& targets) {
  for (const std::string& t : targets) {
    if (t.empty()) BadArgument("a forwarding target has a name");
  }
}

// Throws 5 unless the forward exists.
void CheckForward(sql::Database& db, std::int64_t id) {
  auto q = db.Prepare("SELECT 1 FROM forwards WHERE id = ?1");
  q.Bind(1, id);
  if (!q.Step()) BadArgument("there is no forward " + std::to_string(id));
}

}  // namespace

int MessageStore::ScheduleForwards(const std::vector<std::string>& message_targets,
                                   const std::vector<std::string>& report_targets,
                                   std::int64_t now) {
  CheckTargets(message_targets);
  CheckTargets(report_targets);
  if (now == 0) now = NowSeconds();
  auto& db = impl_->db;
  sql::Transaction txn(db, "scheduling forwards");
  const std::vector<std::int64_t> messages =
      Ids(db, "SELECT id FROM messages WHERE completed_at IS NOT NULL AND handed_out_at IS NULL");
  const std::vector<std::int64_t> reports =
      Ids(db, "SELECT id FROM reports WHERE handed_out_at IS NULL");
  const auto schedule = [&](int kind, const std::vector<std::int64_t>& items,
                            const std::vector<std::string>& targets, const char* mark) {
    for (const std::int64_t item : items) {
      for (const std::string& target : targets) {
        db.Prepare(
              "INSERT OR IGNORE INTO forwards (kind, item_id, target, due_at) "
              "VALUES (?1, ?2, ?3, ?4)")
            .Bind(1, kind)
            .Bind(2, item)
            .Bind(3, target)
            .Bind(4, now)
            .Run();
      }
      db.Prepare(mark).Bind(1, item).Bind(2, now).Run();
    }
  };
  schedule(kMessageKind, messages, message_targets,
           "UPDATE messages SET handed_out_at = ?2 WHERE id = ?1");
  schedule(kReportKind, reports, report_targets,
           "UPDATE reports SET handed_out_at = ?2 WHERE id = ?1");
  txn.Commit();
  return static_cast<int>(messages.size() + reports.size());
}

std::vector<Forward> MessageStore::DueForwards(std::int64_t now, int limit) {
  if (limit < 1) BadArgument("a listing takes at least 1 forward, not " + std::to_string(limit));
  if (now == 0) now = NowSeconds();
  auto& db = impl_->db;
  db.Doing("reading due forwards");
  std::vector<Forward> out;
  auto q = db.Prepare(
      "SELECT id, kind, item_id, target, attempts, due_at, error FROM forwards "
      "WHERE done_at IS NULL AND due_at <= ?1 ORDER BY due_at, id LIMIT ?2");
  q.Bind(1, now).Bind(2, limit);
  while (q.Step()) {
    Forward f;
    f.id = q.Int(0);
    f.kind = q.Int(1) == kReportKind ? Forward::Kind::Report : Forward::Kind::Message;
    f.item_id = q.Int(2);
    f.target = q.Text(3);
    f.attempts = static_cast<int>(q.Int(4));
    f.due_at = q.Int(5);
    f.error = q.Text(6);
    out.push_back(std::move(f));
  }
  return out;
}

std::int64_t MessageStore::PendingForwards() {
  auto& db = impl_->db;
  db.Doing("counting forwards");
  return db.QueryInt("SELECT count(*) FROM forwards WHERE done_at IS NULL");
}

void MessageStore::ForwardDone(std::int64_t forward_id) {
  auto& db = impl_->db;
  sql::Transaction txn(db, "marking a forward done");
  CheckForward(db, forward_id);
  db.Prepare("UPDATE forwards SET done_at = ?2 WHERE id = ?1 AND done_at IS NULL")
      .Bind(1, forward_id)
      .Bind(2, NowSeconds())
      .Run();
  txn.Commit();
}

void MessageStore::ForwardFailed(std::int64_t forward_id, std::int64_t due_at,
                                 const std::string& why) {
  auto& db = impl_->db;
  sql::Transaction txn(db, "recording a failed forward");
  CheckForward(db, forward_id);
  // One that was delivered meanwhile (by another run) stays done.
  db.Prepare(
        "UPDATE forwards SET attempts = attempts + 1, due_at = ?2, error = ?3 "
        "WHERE id = ?1 AND done_at IS NULL")
      .Bind(1, forward_id)
      .Bind(2, due_at)
      .Bind(3, why.empty() ? std::string("failed") : why)
      .Run();
  txn.Commit();
}

}  // namespace selvarn::store
