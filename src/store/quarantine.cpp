// Entries taken off the modem that could not be decoded, kept as they were listed.
#include <string>
#include <vector>

#include "selvarn/store.hpp"
#include "store/store_impl.hpp"

namespace selvarn::store {

std::int64_t MessageStore::Quarantine(const QuarantinedEntry& entry) {
  if (entry.memory.empty()) BadArgument("a quarantined entry names its memory");
  const std::int64_t now = entry.received_at != 0 ? entry.received_at : NowSeconds();
  auto& db = impl_->db;
  sql::Transaction txn(db, "keeping an undecodable entry");
  db.Prepare(
        "INSERT OR IGNORE INTO quarantine (memory, sim_index, raw, error, received_at) "
        "VALUES (?1, ?2, ?3, ?4, ?5)")
      .Bind(1, entry.memory)
      .Bind(2, entry.sim_index)
      .Bind(3, entry.raw)
      .Bind(4, entry.error)
      .Bind(5, now)
      .Run();
  std::int64_t id = 0;
  if (db.Changes() == 1) {
    id = db.LastInsertId();
  } else {
    auto q =
        db.Prepare("SELECT id FROM quarantine WHERE memory = ?1 AND sim_index IS ?2 AND raw = ?3");
    q.Bind(1, entry.memory).Bind(2, entry.sim_index).Bind(3, entry.raw);
    if (q.Step()) id = q.Int(0);
  }
  txn.Commit();
  return id;
}

std::vector<QuarantinedEntry> MessageStore::Quarantined(std::int64_t since) {
  auto& db = impl_->db;
  db.Doing("reading quarantined entries");
  std::vector<QuarantinedEntry> out;
  auto q = db.Prepare(
      "SELECT id, memory, sim_index, raw, error, received_at FROM quarantine "
      "WHERE received_at >= ?1 ORDER BY received_at, id");
  q.Bind(1, since);
  while (q.Step()) {
    std::optional<int> index;
    if (auto i = q.OptionalInt(2)) index = static_cast<int>(*i);
    out.push_back({q.Int(0), q.Text(1), index, q.Text(3), q.Text(4), q.Int(5)});
  }
  return out;
}

}  // namespace selvarn::store
