// The outbox: messages queued for a watching session, and the claim that hands each to
// exactly one sender.
#include <string>
#include <vector>

#include "messaging/extension_parts.hpp"
#include "pdu/address.hpp"
#include "platform/process_tag.hpp"
#include "selvarn/store.hpp"
#include "store/store_impl.hpp"

namespace selvarn::store {

std::int64_t MessageStore::Enqueue(const QueuedMessage& message) {
  // Refused now what the send would refuse later, when nobody is there to hear it.
  std::string why;
  if (!pdu::Address::FromNumber(message.recipient, &why)) {
    BadArgument("the number \"" + message.recipient + "\" " + why);
  }
  if (message.reference < -1 || message.reference > 255) {
    BadArgument("the concatenation reference " + std::to_string(message.reference) +
                " is not 0-255");
  }
  // Throws as the send would: 5 for an empty text, 6 for one of too many parts.
  const messaging::SendPlan plan = messaging::PlanText(message.text, message.coding, false);
  const std::int64_t now = message.queued_at != 0 ? message.queued_at : NowSeconds();
  auto& db = impl_->db;
  sql::Transaction txn(db, "queuing a message");
  db.Prepare(
        "INSERT INTO sent (recipient, text, coding, sent_at, owner, queued, asked_coding, report, "
        "reference, queued_at) VALUES (?1, ?2, ?3, ?4, ?5, 1, ?6, ?7, ?8, ?4)")
      .Bind(1, message.recipient)
      .Bind(2, message.text)
      .Bind(3, static_cast<int>(plan.ucs2 ? Coding::Ucs2 : Coding::Gsm7))
      .Bind(4, now)
      .Bind(5, platform::ProcessTag())
      .Bind(6, static_cast<int>(message.coding))
      .Bind(7, message.report ? 1 : 0)
      .Bind(8, message.reference >= 0 ? std::optional<int>(message.reference) : std::nullopt)
      .Run();
  const std::int64_t id = db.LastInsertId();
  for (std::size_t k = 1; k <= plan.parts.size(); ++k) {
    db.Prepare("INSERT INTO sent_parts (sent_id, sequence) VALUES (?1, ?2)")
        .Bind(1, id)
        .Bind(2, static_cast<int>(k))
        .Run();
  }
  txn.Commit();
  return id;
}

std::vector<QueuedRecord> MessageStore::Queued() {
  auto& db = impl_->db;
  db.Doing("reading the outbox");
  std::vector<QueuedRecord> out;
  auto q = db.Prepare(
      "SELECT s.id, s.recipient, s.text, s.asked_coding, s.report, s.reference, s.queued_at, "
      "s.coding, (SELECT count(*) FROM sent_parts sp WHERE sp.sent_id = s.id) FROM sent s "
      "WHERE s.queued = 1 ORDER BY s.queued_at, s.id");
  while (q.Step()) {
    QueuedRecord r;
    r.id = q.Int(0);
    r.message.recipient = q.Text(1);
    r.message.text = q.Text(2);
    r.message.coding = static_cast<SendCoding>(q.Int(3));
    r.message.report = q.Int(4) != 0;
    r.message.reference = static_cast<int>(q.OptionalInt(5).value_or(-1));
    r.message.queued_at = q.OptionalInt(6).value_or(0);
    r.coding = static_cast<Coding>(q.Int(7));
    r.parts = static_cast<int>(q.Int(8));
    out.push_back(std::move(r));
  }
  return out;
}

bool MessageStore::Claim(std::int64_t id) {
  auto& db = impl_->db;
  sql::Transaction txn(db, "taking a queued message to send");
  // One statement under the write lock: of two claimers, the second finds it taken.
  db.Prepare("UPDATE sent SET queued = 0, owner = ?2, sent_at = ?3 WHERE id = ?1 AND queued = 1")
      .Bind(1, id)
      .Bind(2, platform::ProcessTag())
      .Bind(3, NowSeconds())
      .Run();
  const bool claimed = db.Changes() == 1;
  txn.Commit();
  return claimed;
}

}  // namespace selvarn::store
