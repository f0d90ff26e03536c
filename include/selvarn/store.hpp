// The message store: an SQLite file that keeps every received part, the whole messages
// made from them, the messages sent with the references of their parts, and the status
// reports matched to them. Writing a part or a report is atomic and idempotent, so a
// program may store what it read from the SIM, then delete it there: a crash in between
// only makes it store the same thing again, which changes nothing.
//
//   selvarn::store::MessageStore store;              // the default file, created if needed
//   store.StorePart(part);                           // then delete the part from the SIM
//   for (const auto& m : store.NewMessages()) { print(m.Text()); store.MarkHandedOut(m.id); }
//
// Times are Unix seconds. Text is UTF-8. An object is one connection: use it from one
// thread at a time; several processes may share the file. Any failure of the file (not
// writable, full disk, corrupt) throws selvarn::RuntimeError 75 naming the file; bad
// arguments throw 5. A call that throws has written nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "selvarn/export.hpp"
#include "selvarn/sms.hpp"

namespace selvarn::store {

// The concatenation element of a part: the type ReadSMS reports, so a part read goes
// into the store unchanged.
using Concatenation = selvarn::Concatenation;

struct ReceivedPart {
  std::string sender;
  std::string smsc;  // service centre
  std::string scts;  // service-centre time stamp, as decoded
  std::string text;
  std::string pdu;                      // the raw PDU, optional (empty: not kept)
  int sim_index = 0;                    // storage index it was read from; 0: unknown
  std::int64_t received_at = 0;         // 0: now
  std::optional<Concatenation> concat;  // none: a single message
};

enum class PartOutcome {
  Stored,          // a new part
  Duplicate,       // this part was stored before: nothing changed
  Conflict,        // another text is stored for this part: kept, this one set aside
  StoredAsSingle,  // its concatenation data made no sense, so it stands alone
};

struct PartResult {
  std::int64_t message_id = 0;
  PartOutcome outcome = PartOutcome::Stored;
  bool complete = false;  // the message now has all its parts
};

struct Part {
  int sequence = 1;
  std::string smsc, scts, text, pdu;
  int sim_index = 0;
  std::int64_t received_at = 0;

  bool operator==(const Part&) const = default;
};

// A second, different text that arrived for a part already stored.
struct Conflict {
  int sequence = 1;
  std::string scts, text, pdu;
  std::int64_t received_at = 0;

  bool operator==(const Conflict&) const = default;
};

struct SELVARN_API Message {
  std::int64_t id = 0;
  std::string sender;
  std::optional<Concatenation> concat;  // none for a single message
  int total = 1;
  std::vector<Part> parts;  // the parts present, in sequence order
  std::vector<Conflict> conflicts;
  std::int64_t received_at = 0;               // when its first part arrived
  std::optional<std::int64_t> completed_at;   // when its last part arrived
  std::optional<std::int64_t> handed_out_at;  // when MarkHandedOut took it

  bool Complete() const { return completed_at.has_value(); }
  // The texts of the parts present, in order.
  std::string Text() const;
  // The sequence numbers still missing.
  std::vector<int> Missing() const;
};

// TP-DCS alphabets, as the converters number them.
enum class Coding { Gsm7 = 0, Data8 = 4, Ucs2 = 8 };

enum class DeliveryState { Pending, Delivered, Failed };

// What a TP-ST value (TS 23.040 9.2.3.15) means for the part: 0-31 done (delivered),
// 32-63 the centre is still trying (pending), 64-127 it gave up (failed); the reserved
// values 128-255 count as a refusal (failed).
SELVARN_API DeliveryState StateOfStatus(int status);
SELVARN_API const char* ToString(DeliveryState state);
SELVARN_API const char* ToString(PartOutcome outcome);

// Whether two renderings of a phone number name the same line: digits only, leading
// zeros dropped (the "00" and trunk "0" prefixes); then equal, or the shorter, of at
// least 7 digits, ends the longer, which has at most 3 digits more (its country code).
// Texts without digits (alphanumeric addresses) must be equal.
SELVARN_API bool SameNumber(const std::string& a, const std::string& b);

struct SentMessage {
  std::string recipient;
  std::string text;
  Coding coding = Coding::Gsm7;
  std::vector<int> references;  // TP-MR of each part, in order, 0-255; -1: taken, none named
  std::int64_t sent_at = 0;     // 0: now
};

// A message about to be sent, recorded before its first part is written.
struct OutgoingMessage {
  std::string recipient;
  std::string text;
  Coding coding = Coding::Gsm7;
  int parts = 1;             // 1-255
  std::int64_t sent_at = 0;  // 0: now
};

// How far the sending of a message got.
enum class SendState {
  Sending,     // under way: its sender still runs
  Sent,        // every part taken
  PartlySent,  // some parts went, then one was refused or the send failed
  NotSent,     // ended before any part went
  Uncertain,   // a part may have gone: no answer came, or the sender died waiting for it
  Queued,      // in the outbox: no session has taken it to send yet
};

// A message put in the outbox for a watching session to send.
struct QueuedMessage {
  std::string recipient;
  std::string text;
  SendCoding coding = SendCoding::Auto;  // as asked; the record keeps the coding it plans
  bool report = true;                    // ask for a status report of each part
  int reference = -1;                    // concatenation reference 0-255; -1: chosen when sent
  std::int64_t queued_at = 0;            // 0: now
  // Where it may go, for a program that sends through several modems: through the modem of
  // this name, or through one with this tag; both empty: any. The store only keeps them.
  std::string modem{};
  std::string tag{};
  // A caller's name for this message, so that handing it over twice queues it once
  // (EnqueueOnce); empty: none.
  std::string idempotency_key{};

  bool operator==(const QueuedMessage&) const = default;
};

// A queued message as the outbox keeps it.
struct QueuedRecord {
  std::int64_t id = 0;
  QueuedMessage message;
  Coding coding = Coding::Gsm7;  // as it will go
  int parts = 1;
  int attempts = 0;             // claims so far: 0 until it was first tried
  std::int64_t not_before = 0;  // Requeue's time for the next attempt; 0: at once
  std::vector<int> taken{};     // parts that went on an earlier attempt, skipped when resumed

  bool operator==(const QueuedRecord&) const = default;
};

// Where a message of the outbox stands, as a program that queues messages reports it.
enum class OutboxState {
  Queued,     // waiting to be sent, for the first time or again after a temporary refusal
  Sending,    // a sender has it
  Sent,       // every part taken, no final report yet (or none asked)
  Delivered,  // every part reported delivered
  Failed,     // refused, given up, or reported failed
  Uncertain,  // a part may have gone: not resent unless asked
};

// How far one part got.
enum class PartSend {
  Waiting,    // not written (yet)
  Writing,    // being written, answer awaited
  Taken,      // the modem took it
  Uncertain,  // no answer came: it may have gone
  Refused,    // the modem said no: it did not go
};

SELVARN_API const char* ToString(SendState state);
SELVARN_API const char* ToString(PartSend send);

struct SentPart {
  int sequence = 1;
  int reference = 0;  // TP-MR; -1 when none is known
  DeliveryState state = DeliveryState::Pending;
  std::optional<int> status;                // TP-ST of the latest report
  std::optional<std::int64_t> reported_at;  // when that report arrived
  PartSend send = PartSend::Taken;

  bool operator==(const SentPart&) const = default;
};

struct SentRecord {
  std::int64_t id = 0;
  std::string recipient, text;
  Coding coding = Coding::Gsm7;
  std::int64_t sent_at = 0;
  std::vector<SentPart> parts;
  // Of the parts taken: failed when any failed, delivered when every one was, else pending.
  DeliveryState state = DeliveryState::Pending;
  SendState send_state = SendState::Sent;
  std::string error;  // what ended a send that did not take every part
  // The outbox's side of it (empty or 0 for a message sent without queuing).
  std::string modem{};            // the modem that took it last (Claim)
  std::string route_modem{};      // QueuedMessage::modem
  std::string route_tag{};        // QueuedMessage::tag
  std::string idempotency_key{};  // QueuedMessage::idempotency_key
  int attempts = 0;
  std::int64_t queued_at = 0;
  std::int64_t not_before = 0;

  bool operator==(const SentRecord&) const = default;
};

// The outbox state of a record: Queued and Sending as they are; Sent by its delivery state
// (Sent, Delivered, Failed); PartlySent and NotSent are Failed; Uncertain as it is.
SELVARN_API OutboxState StateOf(const SentRecord& record);
SELVARN_API const char* ToString(OutboxState state);

// What EnqueueOnce did.
struct Enqueued {
  std::int64_t id = 0;
  bool existed = false;  // the key named a message queued before: nothing new was queued
};

// A received message or status report to be passed on to one target (a webhook's URL, or
// "command"): it stays due until ForwardDone, at least once.
struct Forward {
  std::int64_t id = 0;
  enum class Kind { Message, Report } kind = Kind::Message;
  std::int64_t item_id = 0;  // the message's or report's id in this store
  std::string target;
  int attempts = 0;  // failed deliveries so far
  std::int64_t due_at = 0;
  std::string error{};  // why the last delivery failed

  bool operator==(const Forward&) const = default;
};

// An entry taken off the modem that could not be decoded, kept as it was listed.
struct QuarantinedEntry {
  std::int64_t id = 0;
  std::string memory;            // "SM" messages, "SR" status reports
  std::optional<int> sim_index;  // none: unreadable
  std::string raw;               // the PDU or report line as listed
  std::string error;
  std::int64_t received_at = 0;  // 0: now

  bool operator==(const QuarantinedEntry&) const = default;
};

struct StatusReport {
  int reference = 0;  // TP-MR, 0-255
  std::string recipient;
  std::string scts;              // when the centre took the message
  std::string discharge;         // when it was delivered or given up
  int status = 0;                // TP-ST, 0-255
  std::int64_t received_at = 0;  // 0: now

  bool operator==(const StatusReport&) const = default;
};

struct ReportResult {
  std::int64_t report_id = 0;
  bool duplicate = false;               // stored before: nothing changed
  std::optional<std::int64_t> sent_id;  // the message it was matched to
  int sequence = 0;                     // and the part (0: unmatched)
  DeliveryState message_state = DeliveryState::Pending;
};

struct StoredReport {
  std::int64_t id = 0;
  StatusReport report;
  std::optional<std::int64_t> sent_id;
  int sequence = 0;

  bool operator==(const StoredReport&) const = default;
};

class SELVARN_API MessageStore {
 public:
  struct Options {
    // Parts of a long message that arrive this long after its first part start a new
    // message: by then the sender may be reusing the reference.
    std::int64_t reassembly_window = std::int64_t{24} * 3600;
    // An incomplete message younger than this is still arriving and is left out of the
    // listings.
    std::int64_t incomplete_after = 600;
    // How long to wait for another process that holds the file.
    int busy_timeout_ms = 5000;
    // Sync every commit to disk, so what was stored survives a power cut (and a message
    // deleted from the SIM after storing is never lost). Off: survives a crash of the
    // program only, for slow media.
    bool sync_every_commit = true;
    // For queries alone: the file is opened read-only, so a store on a read-only file
    // system or of another user can be listed. Nothing is created or brought up to date:
    // a missing file, and one an older version left, throw 75, and so does any write.
    bool read_only = false;
  };

  // Opens or creates the store at path: missing folders are made (0700), a new file is
  // made 0600. Throws 75 when it cannot be opened, is not a message store, or was made
  // by a newer version.
  MessageStore();
  explicit MessageStore(const std::string& path);
  MessageStore(const std::string& path, const Options& options);
  ~MessageStore();
  MessageStore(MessageStore&&) noexcept;
  MessageStore& operator=(MessageStore&&) noexcept;

  // $XDG_DATA_HOME/selvarn-sms/messages.db, else ~/.local/share/selvarn-sms/messages.db.
  static std::string DefaultPath();
  const std::string& Path() const;

  // Stores one received part and puts it into its message.
  PartResult StorePart(const ReceivedPart& part);
  // Complete messages not yet handed out, oldest first.
  std::vector<Message> NewMessages();
  // Marks a message handed out; false when it already was (or does not exist).
  bool MarkHandedOut(std::int64_t message_id);
  // Messages still missing parts incomplete_after seconds after their first arrived.
  std::vector<Message> IncompleteMessages();
  // Complete messages, and incomplete ones as above, whose first part arrived at or after
  // since; oldest first.
  std::vector<Message> Inbox(std::int64_t since = 0);

  // Records a message sent; returns its id.
  std::int64_t RecordSent(const SentMessage& message);

  // Record first, then send. BeginSend records a message before anything of it is written
  // (state Sending, every part Waiting) and returns its id. Then, part by part:
  // PartWriting just before the part is written (a sender that dies from here on leaves
  // the part Uncertain), then PartTaken with its reference (-1: none named) or PartFailed
  // (uncertain: no answer came; else refused, `why` the answer), which ends the send.
  // SendFailed records an error that ended the send between parts. Each call is one
  // commit; a step out of order throws 5.
  std::int64_t BeginSend(const OutgoingMessage& message);
  void PartWriting(std::int64_t id, int sequence);
  void PartTaken(std::int64_t id, int sequence, int reference);
  void PartFailed(std::int64_t id, int sequence, bool uncertain, const std::string& why);
  void SendFailed(std::int64_t id, const std::string& why);

  // The outbox. Enqueue records a message to be sent later (state Queued, every part
  // Waiting) in one commit and returns its id. It queues nothing and throws what a send
  // would: 5 for a number that is not 1-20 digits after an optional "+", an empty text or a
  // reference outside -1-255, 6 for a text of more than 255 parts; and 5 for an idempotency
  // key that an earlier message carries.
  std::int64_t Enqueue(const QueuedMessage& message);
  // The messages still queued, oldest first.
  std::vector<QueuedRecord> Queued();
  // Takes a queued message for this process to send: true once, for one caller, whatever
  // other processes claim at the same time; false when it is not (or no longer) queued.
  // The record is then Sending, owned by this process and timed now, and goes through
  // PartWriting and the rest as a message from BeginSend does: a claimer that dies leaves
  // it as any dead sender does, queued again only by Recover.
  bool Claim(std::int64_t id);
  // The same, for the modem of this name, which the record keeps; attempts counts the claims.
  bool Claim(std::int64_t id, const std::string& modem);
  // Records the concatenation reference the parts of a claimed message go with, unless one
  // was recorded before; returns the one recorded, which a resumed send keeps so that its
  // parts still join. Throws 5 for a reference outside 0-255 or an unknown message.
  int KeepReference(std::int64_t id, int reference);
  // Enqueue, but a non-empty idempotency key that an earlier message carries queues nothing
  // and gives that message's id, whatever it became (existed: true).
  Enqueued EnqueueOnce(const QueuedMessage& message);
  // Puts a claimed message whose send ended with nothing uncertain (NotSent, PartlySent, or
  // Sending with no part written) back in the outbox, to be tried again from `not_before`:
  // refused and waiting parts wait again; taken parts stay taken and a resumed send skips
  // them (QueuedRecord::taken), with the same concatenation reference. `why` is kept as the
  // error. Throws 5 for a message not in such a state.
  void Requeue(std::int64_t id, std::int64_t not_before, const std::string& why);
  // Ends a queued or claimed message for good, Failed with `why`; nothing more is tried.
  // Throws 5 for one that is neither.
  void GiveUp(std::int64_t id, const std::string& why);
  // A claimed message whose part the modem refused with an answer that does not say it did
  // not go (a network time-out after the centre may have taken it): the refused part becomes
  // uncertain, and the message with it, so that it is not resent unless asked. Throws 5 for
  // a message with no refused part that ended its send.
  void MarkUncertain(std::int64_t id, const std::string& why);
  // After a restart: messages whose sender no longer runs and that were claimed but left with
  // no part written or waiting go back to the outbox, to resume (their taken parts skipped);
  // those with a part cut off while it was written are Uncertain and stay so, unless
  // `resend_uncertain`, when they too are queued again (the part may go twice). Returns the
  // ids queued again.
  std::vector<std::int64_t> Recover(bool resend_uncertain);
  // Queued messages by where they may go, and in all: for queue depths without a listing.
  std::int64_t QueuedCount();

  // Messages and reports after the one with id `after`, oldest first, at most `limit`: a
  // cursor that misses nothing, as times of a second may. Messages as Inbox lists them.
  std::vector<Message> InboxAfter(std::int64_t after, int limit = 100);
  std::vector<StoredReport> ReportsAfter(std::int64_t after, int limit = 100);

  // Forwarding. Takes the complete messages and the reports not yet handed out, makes one
  // Forward for each of them and each target of its kind, and marks them handed out, in one
  // commit; returns how many it took. An item with no target of its kind is handed out
  // with nothing to do.
  int ScheduleForwards(const std::vector<std::string>& message_targets,
                       const std::vector<std::string>& report_targets, std::int64_t now = 0);
  // Forwards due at `now` (0: now), oldest first, at most `limit`.
  std::vector<Forward> DueForwards(std::int64_t now = 0, int limit = 100);
  // Forwards not yet done, due or not.
  std::int64_t PendingForwards();
  void ForwardDone(std::int64_t forward_id);
  // A delivery failed: tried again from `due_at`.
  void ForwardFailed(std::int64_t forward_id, std::int64_t due_at, const std::string& why);
  // Stores a status report and matches it to the part it is about: same reference, same
  // number, the most recent send still waiting for a final report.
  ReportResult StoreReport(const StatusReport& report);
  std::optional<SentRecord> Sent(std::int64_t id);
  // Messages sent at or after since, oldest first.
  std::vector<SentRecord> Outbox(std::int64_t since = 0);
  // Reports received at or after since, oldest first, matched or not.
  std::vector<StoredReport> Reports(std::int64_t since = 0);
  // Reports not yet handed out, oldest first, and the mark, as for messages.
  std::vector<StoredReport> NewReports();
  bool MarkReportHandedOut(std::int64_t report_id);

  // Keeps an entry that could not be decoded, before it is deleted from the modem; the
  // same entry again (memory, index and raw text) keeps the first. Returns its id.
  std::int64_t Quarantine(const QuarantinedEntry& entry);
  // Quarantined entries kept at or after since, oldest first.
  std::vector<QuarantinedEntry> Quarantined(std::int64_t since = 0);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace selvarn::store
