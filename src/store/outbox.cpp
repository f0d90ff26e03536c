// The outbox: messages queued for a sender, the claim that hands each to exactly one of
// them, and what happens when a send ends short: tried again later, given up, or picked up
// after the sender died.
#include <algorithm>
#include <initializer_list>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "messaging/extension_parts.hpp"
#include "pdu/address.hpp"
#include "platform/process_tag.hpp"
#include "selvarn/store.hpp"
#include "store/store_impl.hpp"

namespace selvarn::store {

namespace {

// Refuses now what the send would refuse later, when nobody is there to hear it; returns the
// plan the send will follow.
messaging::SendPlan CheckQueued(const QueuedMessage& message) {
  std::string why;
  if (!pdu::Address::FromNumber(message.recipient, &why)) {
    BadArgument("the number \"" + message.recipient + "\" " + why);
  }
  if (message.reference < -1 || message.reference > 255) {
    BadArgument("the concatenation reference " + std::to_string(message.reference) +
                " is not 0-255");
  }
  // Throws as the send would: 5 for an empty text, 6 for one of too many parts.
  return messaging::PlanText(message.text, message.coding, false);
}

// The message an idempotency key names, if any.
std::optional<std::int64_t> ByKey(sql::Database& db, const std::string& key) {
  if (key.empty()) return std::nullopt;
  auto q = db.Prepare("SELECT id FROM sent WHERE idempotency_key = ?1");
  q.Bind(1, key);
  if (!q.Step()) return std::nullopt;
  return q.Int(0);
}

std::int64_t Insert(sql::Database& db, const QueuedMessage& message,
                    const messaging::SendPlan& plan) {
  const std::int64_t now = message.queued_at != 0 ? message.queued_at : NowSeconds();
  db.Prepare(
        "INSERT INTO sent (recipient, text, coding, sent_at, owner, queued, asked_coding, report, "
        "reference, queued_at, route_modem, route_tag, idempotency_key) "
        "VALUES (?1, ?2, ?3, ?4, ?5, 1, ?6, ?7, ?8, ?4, ?9, ?10, ?11)")
      .Bind(1, message.recipient)
      .Bind(2, message.text)
      .Bind(3, static_cast<int>(plan.ucs2 ? Coding::Ucs2 : Coding::Gsm7))
      .Bind(4, now)
      .Bind(5, platform::ProcessTag())
      .Bind(6, static_cast<int>(message.coding))
      .Bind(7, message.report ? 1 : 0)
      .Bind(8, message.reference >= 0 ? std::optional<int>(message.reference) : std::nullopt)
      .Bind(9, message.modem)
      .Bind(10, message.tag)
      .Bind(11, message.idempotency_key)
      .Run();
  const std::int64_t id = db.LastInsertId();
  for (std::size_t k = 1; k <= plan.parts.size(); ++k) {
    db.Prepare("INSERT INTO sent_parts (sent_id, sequence) VALUES (?1, ?2)")
        .Bind(1, id)
        .Bind(2, static_cast<int>(k))
        .Run();
  }
  return id;
}

// "1,3" as group_concat writes it, in order.
std::vector<int> Numbers(const std::string& list) {
  std::vector<int> out;
  std::istringstream in(list);
  for (std::string n; std::getline(in, n, ',');) {
    if (!n.empty()) out.push_back(std::stoi(n));
  }
  std::sort(out.begin(), out.end());
  return out;
}

[[noreturn]] void NotInState(std::int64_t id, const char* what) {
  BadArgument("message " + std::to_string(id) + " is not " + what);
}

// What an outbox message's row says beyond its record.
struct OutboxRow {
  bool in_outbox = false;  // it was queued once (not a direct send)
  bool queued = false;
  bool given_up = false;
  std::string owner;
};

OutboxRow RowOf(sql::Database& db, std::int64_t id) {
  OutboxRow row;
  auto q =
      db.Prepare("SELECT queued_at IS NOT NULL, queued, given_up, owner FROM sent WHERE id = ?1");
  q.Bind(1, id);
  if (!q.Step()) return row;
  row.in_outbox = q.Int(0) != 0;
  row.queued = q.Int(1) != 0;
  row.given_up = q.Int(2) != 0;
  row.owner = q.Text(3);
  return row;
}

// Back in the queue: the parts given as outcomes wait again (with no reference), taken parts
// stay taken.
void BackInQueue(sql::Database& db, std::int64_t id, std::int64_t not_before,
                 const std::string& why, std::initializer_list<int> again) {
  for (const int outcome : again) {
    db.Prepare(
          "UPDATE sent_parts SET outcome = ?3, reference = NULL "
          "WHERE sent_id = ?1 AND outcome = ?2")
        .Bind(1, id)
        .Bind(2, outcome)
        .Bind(3, kWaiting)
        .Run();
  }
  db.Prepare("UPDATE sent SET queued = 1, not_before = ?2, error = ?3 WHERE id = ?1")
      .Bind(1, id)
      .Bind(2, not_before)
      .Bind(3, why)
      .Run();
}

bool Has(const SentRecord& r, PartSend send) {
  return std::any_of(r.parts.begin(), r.parts.end(),
                     [send](const SentPart& p) { return p.send == send; });
}

// A claimed message whose send ended with nothing out; or one still under way in this
// process, between two parts (another process's is its own to end).
bool EndedShort(const SentRecord& r, const OutboxRow& row) {
  if (r.send_state == SendState::NotSent || r.send_state == SendState::PartlySent) return true;
  return r.send_state == SendState::Sending && !Has(r, PartSend::Writing) &&
         row.owner == platform::ProcessTag();
}

}  // namespace

std::int64_t MessageStore::Enqueue(const QueuedMessage& message) {
  const messaging::SendPlan plan = CheckQueued(message);
  auto& db = impl_->db;
  sql::Transaction txn(db, "queuing a message");
  if (const auto earlier = ByKey(db, message.idempotency_key)) {
    BadArgument("the idempotency key \"" + message.idempotency_key + "\" names message " +
                std::to_string(*earlier) + " already");
  }
  const std::int64_t id = Insert(db, message, plan);
  txn.Commit();
  return id;
}

Enqueued MessageStore::EnqueueOnce(const QueuedMessage& message) {
  const messaging::SendPlan plan = CheckQueued(message);
  auto& db = impl_->db;
  // The write lock is taken first: of two processes with the same key, the second finds the
  // first one's message (and the unique index would refuse a second row anyway).
  sql::Transaction txn(db, "queuing a message");
  if (const auto earlier = ByKey(db, message.idempotency_key)) return {*earlier, true};
  const std::int64_t id = Insert(db, message, plan);
  txn.Commit();
  return {id, false};
}

std::vector<QueuedRecord> MessageStore::Queued() {
  auto& db = impl_->db;
  db.Doing("reading the outbox");
  std::vector<QueuedRecord> out;
  auto q = db.Prepare(
      "SELECT s.id, s.recipient, s.text, s.asked_coding, s.report, s.reference, s.queued_at, "
      "s.coding, (SELECT count(*) FROM sent_parts sp WHERE sp.sent_id = s.id), s.route_modem, "
      "s.route_tag, s.idempotency_key, s.attempts, s.not_before, "
      "(SELECT group_concat(sp.sequence) FROM sent_parts sp WHERE sp.sent_id = s.id AND "
      "sp.outcome = ?1) FROM sent s WHERE s.queued = 1 ORDER BY s.queued_at, s.id");
  q.Bind(1, kTaken);
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
    r.message.modem = q.Text(9);
    r.message.tag = q.Text(10);
    r.message.idempotency_key = q.Text(11);
    r.attempts = static_cast<int>(q.Int(12));
    r.not_before = q.Int(13);
    r.taken = Numbers(q.Text(14));
    out.push_back(std::move(r));
  }
  return out;
}

std::int64_t MessageStore::QueuedCount() {
  auto& db = impl_->db;
  db.Doing("counting the outbox");
  return db.QueryInt("SELECT count(*) FROM sent WHERE queued = 1");
}

bool MessageStore::Claim(std::int64_t id) { return Claim(id, ""); }

bool MessageStore::Claim(std::int64_t id, const std::string& modem) {
  auto& db = impl_->db;
  sql::Transaction txn(db, "taking a queued message to send");
  // One statement under the write lock: of two claimers, the second finds it taken. The
  // error of an earlier attempt goes: this one's own ends it, or none does.
  db.Prepare(
        "UPDATE sent SET queued = 0, owner = ?2, sent_at = ?3, modem = ?4, "
        "attempts = attempts + 1, error = '' WHERE id = ?1 AND queued = 1")
      .Bind(1, id)
      .Bind(2, platform::ProcessTag())
      .Bind(3, NowSeconds())
      .Bind(4, modem)
      .Run();
  const bool claimed = db.Changes() == 1;
  txn.Commit();
  return claimed;
}

int MessageStore::KeepReference(std::int64_t id, int reference) {
  if (reference < 0 || reference > 255) {
    BadArgument("the concatenation reference " + std::to_string(reference) + " is not 0-255");
  }
  auto& db = impl_->db;
  sql::Transaction txn(db, "recording the reference of a message's parts");
  db.Prepare("UPDATE sent SET first_reference = ?2 WHERE id = ?1 AND first_reference IS NULL")
      .Bind(1, id)
      .Bind(2, reference)
      .Run();
  auto q = db.Prepare("SELECT first_reference FROM sent WHERE id = ?1");
  q.Bind(1, id);
  if (!q.Step()) BadArgument("there is no message " + std::to_string(id));
  const int kept = static_cast<int>(q.Int(0));
  txn.Commit();
  return kept;
}

void MessageStore::Requeue(std::int64_t id, std::int64_t not_before, const std::string& why) {
  auto& db = impl_->db;
  sql::Transaction txn(db, "queuing a message again");
  const OutboxRow row = RowOf(db, id);
  const std::optional<SentRecord> r = Sent(id);
  // Nothing that may have gone goes again; and there must be something left to send.
  const bool can = row.in_outbox && !row.queued && !row.given_up && r && EndedShort(*r, row);
  if (!can) NotInState(id, "a claimed message whose send ended with nothing uncertain");
  BackInQueue(db, id, not_before, why.empty() ? std::string("tried again") : why, {kRefused});
  txn.Commit();
}

void MessageStore::GiveUp(std::int64_t id, const std::string& why) {
  auto& db = impl_->db;
  sql::Transaction txn(db, "giving up a message");
  const OutboxRow row = RowOf(db, id);
  const std::optional<SentRecord> r = Sent(id);
  // A message with a part out, or one that went whole, is not this one's to fail.
  const bool can = row.in_outbox && !row.given_up && r && (row.queued || EndedShort(*r, row));
  if (!can) NotInState(id, "a queued or claimed message that can still fail");
  db.Prepare("UPDATE sent SET queued = 0, given_up = 1, error = ?2 WHERE id = ?1")
      .Bind(1, id)
      .Bind(2, why.empty() ? std::string("given up") : why)
      .Run();
  txn.Commit();
}

void MessageStore::MarkUncertain(std::int64_t id, const std::string& why) {
  auto& db = impl_->db;
  sql::Transaction txn(db, "marking a message uncertain");
  const OutboxRow row = RowOf(db, id);
  const std::optional<SentRecord> r = Sent(id);
  const bool can = row.in_outbox && !row.queued && !row.given_up && r &&
                   Has(*r, PartSend::Refused) && EndedShort(*r, row);
  if (!can) NotInState(id, "a claimed message whose send ended with a part refused");
  db.Prepare("UPDATE sent_parts SET outcome = ?2 WHERE sent_id = ?1 AND outcome = ?3")
      .Bind(1, id)
      .Bind(2, kUncertain)
      .Bind(3, kRefused)
      .Run();
  db.Prepare("UPDATE sent SET error = ?2 WHERE id = ?1")
      .Bind(1, id)
      .Bind(2, why.empty() ? std::string("may have gone") : why)
      .Run();
  txn.Commit();
}

std::vector<std::int64_t> MessageStore::Recover(bool resend_uncertain) {
  auto& db = impl_->db;
  sql::Transaction txn(db, "taking back what a stopped sender left");
  // Claimed messages with a part not yet known to be taken or refused. One whose send ended
  // with an error was answered already when a plain watch (no modem name) claimed it: a
  // sender that decides again or gives up is one that names its modem.
  std::vector<std::pair<std::int64_t, std::string>> candidates;
  {
    auto q = db.Prepare(
        "SELECT s.id, s.owner FROM sent s WHERE s.queued = 0 AND s.queued_at IS NOT NULL AND "
        "s.given_up = 0 AND (s.error = '' OR s.modem <> '') AND EXISTS (SELECT 1 FROM sent_parts "
        "sp WHERE sp.sent_id = s.id AND "
        "sp.outcome IN (?1, ?2, ?3)) ORDER BY s.id");
    q.Bind(1, kWaiting).Bind(2, kWriting).Bind(3, kUncertain);
    while (q.Step()) candidates.emplace_back(q.Int(0), q.Text(1));
  }
  std::vector<std::int64_t> again;
  for (const auto& [id, owner] : candidates) {
    // A sender that still runs may be between two parts: never take its message.
    if (platform::ProcessRunning(owner) != platform::Running::No) continue;
    const std::optional<SentRecord> r = Sent(id);
    if (!r || Has(*r, PartSend::Refused)) continue;  // a refusal was an answer: it stands
    if (r->send_state == SendState::Uncertain) {
      if (!resend_uncertain) continue;
      BackInQueue(db, id, 0, "resent: its sender stopped while a part may have gone",
                  {kWriting, kUncertain});
    } else {
      BackInQueue(db, id, 0, "its sender stopped before it was sent", {});
    }
    again.push_back(id);
  }
  txn.Commit();
  return again;
}

}  // namespace selvarn::store
