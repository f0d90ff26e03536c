// Messages sent, and the status reports that say what became of their parts.
#include <algorithm>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "platform/process_tag.hpp"
#include "selvarn/store.hpp"
#include "store/store_impl.hpp"

namespace selvarn::store {

namespace {

// sent_parts.state: a part waits until a report says it was delivered or failed; a
// report that the centre is still trying leaves it waiting.
int StateCode(DeliveryState s) {
  switch (s) {
    case DeliveryState::Delivered:
      return 1;
    case DeliveryState::Failed:
      return 2;
    case DeliveryState::Pending:
      break;
  }
  return 0;
}

DeliveryState StateFromCode(std::int64_t code) {
  if (code == 1) return DeliveryState::Delivered;
  if (code == 2) return DeliveryState::Failed;
  return DeliveryState::Pending;
}

PartSend PartSendOf(std::int64_t code) {
  switch (code) {
    case kWaiting:
      return PartSend::Waiting;
    case kWriting:
      return PartSend::Writing;
    case kUncertain:
      return PartSend::Uncertain;
    case kRefused:
      return PartSend::Refused;
    default:
      return PartSend::Taken;
  }
}

// Only the parts that went have a fate to report; one failed part fails the message.
DeliveryState Overall(const std::vector<SentPart>& parts) {
  bool any = false, all_delivered = true;
  for (const SentPart& p : parts) {
    if (p.send != PartSend::Taken) continue;
    if (p.state == DeliveryState::Failed) return DeliveryState::Failed;
    any = true;
    all_delivered = all_delivered && p.state == DeliveryState::Delivered;
  }
  return any && all_delivered ? DeliveryState::Delivered : DeliveryState::Pending;
}

// What the parts say of the send. A part being written by a sender that no longer runs
// may have gone; parts it never reached did not.
SendState SendStateOf(std::vector<SentPart>& parts, const std::string& owner, bool ended,
                      bool queued) {
  if (queued) return SendState::Queued;
  const bool gone = platform::ProcessRunning(owner) == platform::Running::No;
  bool any_taken = false, uncertain = false, writing = false, waiting = false;
  for (SentPart& p : parts) {
    if (p.send == PartSend::Writing && gone) p.send = PartSend::Uncertain;
    any_taken = any_taken || p.send == PartSend::Taken;
    uncertain = uncertain || p.send == PartSend::Uncertain;
    writing = writing || p.send == PartSend::Writing;
    waiting = waiting || p.send == PartSend::Waiting;
  }
  if (uncertain) return SendState::Uncertain;
  if (writing || (waiting && !ended && !gone)) return SendState::Sending;
  if (waiting || ended) return any_taken ? SendState::PartlySent : SendState::NotSent;
  return SendState::Sent;
}

void CheckByte(int value, const char* what) {
  if (value < 0 || value > 255) {
    BadArgument(std::string(what) + " " + std::to_string(value) + " is not within 0-255");
  }
}

void CheckCoding(Coding coding) {
  if (coding != Coding::Gsm7 && coding != Coding::Data8 && coding != Coding::Ucs2) {
    BadArgument("unknown coding " + std::to_string(static_cast<int>(coding)));
  }
}

// Records the report on the part and the part on the report.
void Apply(sql::Database& db, std::int64_t report_id, std::int64_t sent_id, int sequence,
           int status, std::int64_t received_at) {
  db.Prepare(
        "UPDATE sent_parts SET state = ?3, status = ?4, reported_at = ?5 "
        "WHERE sent_id = ?1 AND sequence = ?2")
      .Bind(1, sent_id)
      .Bind(2, sequence)
      .Bind(3, StateCode(StateOfStatus(status)))
      .Bind(4, status)
      .Bind(5, received_at)
      .Run();
  db.Prepare("UPDATE reports SET sent_id = ?2, sent_sequence = ?3 WHERE id = ?1")
      .Bind(1, report_id)
      .Bind(2, sent_id)
      .Bind(3, sequence)
      .Run();
}

// A report can be read (by another process) before the sender gets to record what it
// answers: take up unmatched ones that arrived since the message was sent, in their order.
void TakeUpEarlyReports(sql::Database& db, std::int64_t id, const std::string& recipient,
                        std::int64_t sent_at) {
  struct Early {
    std::int64_t id;
    int reference;
    std::string recipient;
    int status;
    std::int64_t received_at;
  };
  std::vector<Early> early;
  {
    auto q = db.Prepare(
        "SELECT id, reference, recipient, status, received_at FROM reports "
        "WHERE sent_id IS NULL AND received_at >= ?1 ORDER BY received_at, id");
    q.Bind(1, sent_at);
    while (q.Step()) {
      early.push_back(
          {q.Int(0), static_cast<int>(q.Int(1)), q.Text(2), static_cast<int>(q.Int(3)), q.Int(4)});
    }
  }
  for (const Early& e : early) {
    if (!SameNumber(e.recipient, recipient)) continue;
    auto part = db.Prepare(
        "SELECT sequence FROM sent_parts WHERE sent_id = ?1 AND reference = ?2 AND state = 0 "
        "ORDER BY sequence LIMIT 1");
    part.Bind(1, id).Bind(2, e.reference);
    if (!part.Step()) continue;
    const int sequence = static_cast<int>(part.Int(0));
    Apply(db, e.id, id, sequence, e.status, e.received_at);
  }
}

// The sent messages that where (over s, with parameter ?1) selects, oldest first.
std::vector<SentRecord> LoadSent(sql::Database& db, const char* where, std::int64_t p1) {
  db.Doing("reading sent messages");
  std::vector<SentRecord> out;
  auto q =
      db.Prepare(std::string("SELECT s.id, s.recipient, s.text, s.coding, s.sent_at, sp.sequence, "
                             "sp.reference, sp.state, sp.status, sp.reported_at, sp.outcome, "
                             "s.owner, s.error, s.queued, s.modem, s.route_modem, s.route_tag, "
                             "s.idempotency_key, s.attempts, s.queued_at, s.not_before "
                             "FROM sent s JOIN sent_parts sp ON sp.sent_id = "
                             "s.id WHERE ") +
                 where + " ORDER BY s.sent_at, s.id, sp.sequence");
  q.Bind(1, p1);
  std::vector<std::string> owners;
  std::vector<bool> queued;
  while (q.Step()) {
    if (out.empty() || out.back().id != q.Int(0)) {
      SentRecord r;
      r.id = q.Int(0);
      r.recipient = q.Text(1);
      r.text = q.Text(2);
      r.coding = static_cast<Coding>(q.Int(3));
      r.sent_at = q.Int(4);
      r.error = q.Text(12);
      r.modem = q.Text(14);
      r.route_modem = q.Text(15);
      r.route_tag = q.Text(16);
      r.idempotency_key = q.Text(17);
      r.attempts = static_cast<int>(q.Int(18));
      r.queued_at = q.OptionalInt(19).value_or(0);
      r.not_before = q.Int(20);
      out.push_back(std::move(r));
      owners.push_back(q.Text(11));
      queued.push_back(q.Int(13) != 0);
    }
    std::optional<int> status;
    if (auto st = q.OptionalInt(8)) status = static_cast<int>(*st);
    out.back().parts.push_back(
        SentPart{static_cast<int>(q.Int(5)), static_cast<int>(q.OptionalInt(6).value_or(-1)),
                 StateFromCode(q.Int(7)), status, q.OptionalInt(9), PartSendOf(q.Int(10))});
  }
  for (std::size_t i = 0; i < out.size(); ++i) {
    SentRecord& r = out[i];
    r.send_state = SendStateOf(r.parts, owners[i], !r.error.empty(), queued[i]);
    r.state = Overall(r.parts);
  }
  return out;
}

DeliveryState StateOfSent(sql::Database& db, std::int64_t sent_id) {
  auto records = LoadSent(db, "s.id = ?1", sent_id);
  return records.empty() ? DeliveryState::Pending : records.front().state;
}

}  // namespace

std::int64_t MessageStore::RecordSent(const SentMessage& message) {
  if (message.references.empty()) BadArgument("a sent message has at least one part");
  for (int ref : message.references) {
    if (ref != -1) CheckByte(ref, "message reference");
  }
  CheckCoding(message.coding);
  const std::int64_t sent_at = message.sent_at != 0 ? message.sent_at : NowSeconds();
  auto& db = impl_->db;
  sql::Transaction txn(db, "recording a sent message");
  db.Prepare("INSERT INTO sent (recipient, text, coding, sent_at) VALUES (?1, ?2, ?3, ?4)")
      .Bind(1, message.recipient)
      .Bind(2, message.text)
      .Bind(3, static_cast<int>(message.coding))
      .Bind(4, sent_at)
      .Run();
  const std::int64_t id = db.LastInsertId();
  for (std::size_t i = 0; i < message.references.size(); ++i) {
    db.Prepare(
          "INSERT INTO sent_parts (sent_id, sequence, reference, outcome) VALUES (?1, ?2, ?3, 2)")
        .Bind(1, id)
        .Bind(2, static_cast<int>(i + 1))
        .Bind(3,
              message.references[i] >= 0 ? std::optional<int>(message.references[i]) : std::nullopt)
        .Run();
  }
  TakeUpEarlyReports(db, id, message.recipient, sent_at);
  txn.Commit();
  return id;
}

std::int64_t MessageStore::BeginSend(const OutgoingMessage& message) {
  if (message.parts < 1 || message.parts > 255) {
    BadArgument("a message has 1-255 parts, not " + std::to_string(message.parts));
  }
  CheckCoding(message.coding);
  const std::int64_t sent_at = message.sent_at != 0 ? message.sent_at : NowSeconds();
  auto& db = impl_->db;
  sql::Transaction txn(db, "recording a message before sending it");
  db.Prepare(
        "INSERT INTO sent (recipient, text, coding, sent_at, owner) VALUES (?1, ?2, ?3, ?4, ?5)")
      .Bind(1, message.recipient)
      .Bind(2, message.text)
      .Bind(3, static_cast<int>(message.coding))
      .Bind(4, sent_at)
      .Bind(5, platform::ProcessTag())
      .Run();
  const std::int64_t id = db.LastInsertId();
  for (int k = 1; k <= message.parts; ++k) {
    db.Prepare("INSERT INTO sent_parts (sent_id, sequence) VALUES (?1, ?2)")
        .Bind(1, id)
        .Bind(2, k)
        .Run();
  }
  txn.Commit();
  return id;
}

namespace {

// Moves a part from one outcome to the next; throws 5 when it is not at `from`.
void Step(sql::Database& db, std::int64_t id, int sequence, std::initializer_list<int> from, int to,
          std::optional<int> reference) {
  int now = -1;
  {
    auto q = db.Prepare("SELECT outcome FROM sent_parts WHERE sent_id = ?1 AND sequence = ?2");
    q.Bind(1, id).Bind(2, sequence);
    if (q.Step()) now = static_cast<int>(q.Int(0));
  }
  if (std::find(from.begin(), from.end(), now) == from.end()) {
    BadArgument("part " + std::to_string(sequence) + " of sent message " + std::to_string(id) +
                (now < 0 ? " does not exist" : " is not at that step"));
  }
  db.Prepare(
        "UPDATE sent_parts SET outcome = ?3, reference = ?4 WHERE sent_id = ?1 AND sequence = ?2")
      .Bind(1, id)
      .Bind(2, sequence)
      .Bind(3, to)
      .Bind(4, reference)
      .Run();
}

void RecordError(sql::Database& db, std::int64_t id, const std::string& why) {
  // A send ends once; an empty reason would read as still under way.
  db.Prepare("UPDATE sent SET error = ?2 WHERE id = ?1 AND error = ''")
      .Bind(1, id)
      .Bind(2, why.empty() ? std::string("failed") : why)
      .Run();
}

}  // namespace

void MessageStore::PartWriting(std::int64_t id, int sequence) {
  auto& db = impl_->db;
  sql::Transaction txn(db, "recording a part about to be sent");
  {
    // A message back in the outbox is no longer this sender's: its next claimer sends it.
    auto q = db.Prepare("SELECT queued FROM sent WHERE id = ?1");
    q.Bind(1, id);
    if (q.Step() && q.Int(0) != 0) {
      BadArgument("sent message " + std::to_string(id) + " is queued, not claimed");
    }
  }
  Step(db, id, sequence, {kWaiting}, kWriting, std::nullopt);
  txn.Commit();
}

void MessageStore::PartTaken(std::int64_t id, int sequence, int reference) {
  if (reference != -1) CheckByte(reference, "message reference");
  auto& db = impl_->db;
  sql::Transaction txn(db, "recording a part sent");
  Step(db, id, sequence, {kWriting}, kTaken,
       reference >= 0 ? std::optional<int>(reference) : std::nullopt);
  if (reference >= 0) {
    auto q = db.Prepare("SELECT recipient, sent_at FROM sent WHERE id = ?1");
    q.Bind(1, id);
    if (q.Step()) TakeUpEarlyReports(db, id, q.Text(0), q.Int(1));
  }
  txn.Commit();
}

void MessageStore::PartFailed(std::int64_t id, int sequence, bool uncertain,
                              const std::string& why) {
  auto& db = impl_->db;
  sql::Transaction txn(db, "recording a part not sent");
  // A refusal may come before the part was written (no prompt); no answer only after.
  if (uncertain) {
    Step(db, id, sequence, {kWriting}, kUncertain, std::nullopt);
  } else {
    Step(db, id, sequence, {kWaiting, kWriting}, kRefused, std::nullopt);
  }
  RecordError(db, id, why);
  txn.Commit();
}

void MessageStore::SendFailed(std::int64_t id, const std::string& why) {
  auto& db = impl_->db;
  sql::Transaction txn(db, "recording why a send ended");
  RecordError(db, id, why);
  txn.Commit();
}

ReportResult MessageStore::StoreReport(const StatusReport& report) {
  CheckByte(report.reference, "message reference");
  CheckByte(report.status, "status");
  const std::int64_t now = report.received_at != 0 ? report.received_at : NowSeconds();
  auto& db = impl_->db;
  sql::Transaction txn(db, "storing a status report");
  ReportResult result;
  {
    auto dup = db.Prepare(
        "SELECT id, sent_id, sent_sequence FROM reports WHERE reference = ?1 AND "
        "recipient = ?2 AND scts = ?3 AND discharge = ?4 AND status = ?5");
    dup.Bind(1, report.reference).Bind(2, report.recipient).Bind(3, report.scts);
    dup.Bind(4, report.discharge).Bind(5, report.status);
    if (dup.Step()) {
      result.report_id = dup.Int(0);
      result.duplicate = true;
      result.sent_id = dup.OptionalInt(1);
      result.sequence = static_cast<int>(dup.OptionalInt(2).value_or(0));
    }
  }
  if (!result.duplicate) {
    // The most recent send still waiting with this reference and number: references
    // wrap at 256, and an older part with a lost report must not take a new report.
    {
      auto q = db.Prepare(
          "SELECT sp.sent_id, sp.sequence, s.recipient FROM sent_parts sp JOIN sent s "
          "ON s.id = sp.sent_id WHERE sp.reference = ?1 AND sp.state = 0 "
          "ORDER BY s.sent_at DESC, s.id DESC, sp.sequence");
      q.Bind(1, report.reference);
      while (q.Step()) {
        if (SameNumber(q.Text(2), report.recipient)) {
          result.sent_id = q.Int(0);
          result.sequence = static_cast<int>(q.Int(1));
          break;
        }
      }
    }
    db.Prepare(
          "INSERT INTO reports (reference, recipient, scts, discharge, status, received_at) "
          "VALUES (?1, ?2, ?3, ?4, ?5, ?6)")
        .Bind(1, report.reference)
        .Bind(2, report.recipient)
        .Bind(3, report.scts)
        .Bind(4, report.discharge)
        .Bind(5, report.status)
        .Bind(6, now)
        .Run();
    result.report_id = db.LastInsertId();
    if (result.sent_id) {
      Apply(db, result.report_id, *result.sent_id, result.sequence, report.status, now);
    }
  }
  if (result.sent_id) result.message_state = StateOfSent(db, *result.sent_id);
  txn.Commit();
  return result;
}

std::optional<SentRecord> MessageStore::Sent(std::int64_t id) {
  auto records = LoadSent(impl_->db, "s.id = ?1", id);
  if (records.empty()) return std::nullopt;
  return std::move(records.front());
}

std::vector<SentRecord> MessageStore::Outbox(std::int64_t since) {
  return LoadSent(impl_->db, "s.sent_at >= ?1", since);
}

namespace {

// The reports that where (with parameters ?1 and ?2, if it has them) selects, in the order
// order_by gives.
std::vector<StoredReport> LoadReports(sql::Database& db, const char* where, std::int64_t p1,
                                      const char* order_by = "received_at, id",
                                      std::int64_t p2 = 0) {
  db.Doing("reading status reports");
  std::vector<StoredReport> out;
  auto q = db.Prepare(std::string("SELECT id, reference, recipient, scts, discharge, status, "
                                  "received_at, sent_id, sent_sequence FROM reports WHERE ") +
                      where + " ORDER BY " + order_by);
  if (q.Parameters() >= 1) q.Bind(1, p1);
  if (q.Parameters() >= 2) q.Bind(2, p2);
  while (q.Step()) {
    StoredReport r;
    r.id = q.Int(0);
    r.report = StatusReport{static_cast<int>(q.Int(1)), q.Text(2), q.Text(3), q.Text(4),
                            static_cast<int>(q.Int(5)), q.Int(6)};
    r.sent_id = q.OptionalInt(7);
    r.sequence = static_cast<int>(q.OptionalInt(8).value_or(0));
    out.push_back(std::move(r));
  }
  return out;
}

}  // namespace

std::vector<StoredReport> MessageStore::Reports(std::int64_t since) {
  return LoadReports(impl_->db, "received_at >= ?1", since);
}

std::vector<StoredReport> MessageStore::ReportsAfter(std::int64_t after, int limit) {
  if (limit < 1) BadArgument("a listing takes at least 1 report, not " + std::to_string(limit));
  // Ids grow in the order reports were committed, so a cursor on them misses none.
  return LoadReports(impl_->db, "id > ?1", after, "id LIMIT ?2", limit);
}

std::vector<StoredReport> MessageStore::NewReports() {
  return LoadReports(impl_->db, "handed_out_at IS NULL", 0);
}

bool MessageStore::MarkReportHandedOut(std::int64_t report_id) {
  auto& db = impl_->db;
  db.Doing("marking a status report handed out");
  db.Prepare("UPDATE reports SET handed_out_at = ?2 WHERE id = ?1 AND handed_out_at IS NULL")
      .Bind(1, report_id)
      .Bind(2, NowSeconds())
      .Run();
  return db.Changes() == 1;
}

}  // namespace selvarn::store
