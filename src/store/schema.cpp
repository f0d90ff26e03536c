#include "store/schema.hpp"

#include <string>

namespace selvarn::store::schema {

namespace {

// Version 1. Times are Unix seconds. A message is one row whatever its number of parts;
// a single message has no reference and one part. Texts of parts that contradict a part
// already stored go to conflicts, never over it.
constexpr const char* kVersion1 = R"sql(
CREATE TABLE messages (
  id INTEGER PRIMARY KEY,
  sender TEXT NOT NULL,
  reference INTEGER,
  reference_bits INTEGER,
  total INTEGER NOT NULL CHECK (total BETWEEN 1 AND 255),
  present INTEGER NOT NULL CHECK (present BETWEEN 0 AND total),
  received_at INTEGER NOT NULL,
  completed_at INTEGER,
  handed_out_at INTEGER
);
CREATE INDEX messages_by_key ON messages (sender, reference, reference_bits, total);
CREATE INDEX messages_by_time ON messages (received_at);
CREATE INDEX messages_new ON messages (id)
  WHERE completed_at IS NOT NULL AND handed_out_at IS NULL;
CREATE INDEX messages_incomplete ON messages (received_at) WHERE completed_at IS NULL;

CREATE TABLE parts (
  id INTEGER PRIMARY KEY,
  message_id INTEGER NOT NULL REFERENCES messages (id) ON DELETE CASCADE,
  sequence INTEGER NOT NULL,
  sender TEXT NOT NULL,
  smsc TEXT NOT NULL,
  scts TEXT NOT NULL,
  text TEXT NOT NULL,
  pdu TEXT NOT NULL,
  sim_index INTEGER NOT NULL,
  received_at INTEGER NOT NULL,
  UNIQUE (message_id, sequence)
);
CREATE INDEX parts_by_sender ON parts (sender, scts);

CREATE TABLE conflicts (
  id INTEGER PRIMARY KEY,
  message_id INTEGER NOT NULL REFERENCES messages (id) ON DELETE CASCADE,
  sequence INTEGER NOT NULL,
  scts TEXT NOT NULL,
  text TEXT NOT NULL,
  pdu TEXT NOT NULL,
  received_at INTEGER NOT NULL,
  UNIQUE (message_id, sequence, scts, text)
);

CREATE TABLE sent (
  id INTEGER PRIMARY KEY,
  recipient TEXT NOT NULL,
  text TEXT NOT NULL,
  coding INTEGER NOT NULL,
  sent_at INTEGER NOT NULL
);
CREATE INDEX sent_by_time ON sent (sent_at);

-- state: 0 waiting, 1 delivered, 2 failed.
CREATE TABLE sent_parts (
  sent_id INTEGER NOT NULL REFERENCES sent (id) ON DELETE CASCADE,
  sequence INTEGER NOT NULL,
  reference INTEGER NOT NULL CHECK (reference BETWEEN 0 AND 255),
  state INTEGER NOT NULL DEFAULT 0,
  status INTEGER,
  reported_at INTEGER,
  PRIMARY KEY (sent_id, sequence)
);
CREATE INDEX sent_parts_waiting ON sent_parts (reference) WHERE state = 0;

CREATE TABLE reports (
  id INTEGER PRIMARY KEY,
  reference INTEGER NOT NULL CHECK (reference BETWEEN 0 AND 255),
  recipient TEXT NOT NULL,
  scts TEXT NOT NULL,
  discharge TEXT NOT NULL,
  status INTEGER NOT NULL CHECK (status BETWEEN 0 AND 255),
  received_at INTEGER NOT NULL,
  sent_id INTEGER REFERENCES sent (id) ON DELETE SET NULL,
  sent_sequence INTEGER,
  UNIQUE (reference, recipient, scts, discharge, status)
);
CREATE INDEX reports_by_time ON reports (received_at);
CREATE INDEX reports_unmatched ON reports (reference) WHERE sent_id IS NULL;
)sql";

// Version 2. A message is recorded before its first part is written: the row says who
// is sending it (owner: host, boot, process and its start, so a run that died is told
// from one still at it), each part's outcome as it comes, and the error that ended the
// send. A part taken without a reference keeps none. Entries that could not be decoded
// are kept as listed in quarantine, so that they leave the SIM without being lost.
constexpr const char* kVersion2 = R"sql(
ALTER TABLE sent ADD COLUMN owner TEXT NOT NULL DEFAULT '';
ALTER TABLE sent ADD COLUMN error TEXT NOT NULL DEFAULT '';

-- outcome: 0 not written yet, 1 being written, 2 taken, 3 uncertain (no answer), 4 refused.
CREATE TABLE sent_parts_2 (
  sent_id INTEGER NOT NULL REFERENCES sent (id) ON DELETE CASCADE,
  sequence INTEGER NOT NULL,
  reference INTEGER CHECK (reference BETWEEN 0 AND 255),
  outcome INTEGER NOT NULL DEFAULT 0,
  state INTEGER NOT NULL DEFAULT 0,
  status INTEGER,
  reported_at INTEGER,
  PRIMARY KEY (sent_id, sequence)
);
INSERT INTO sent_parts_2 (sent_id, sequence, reference, outcome, state, status, reported_at)
  SELECT sent_id, sequence, reference, 2, state, status, reported_at FROM sent_parts;
DROP TABLE sent_parts;
ALTER TABLE sent_parts_2 RENAME TO sent_parts;
CREATE INDEX sent_parts_waiting ON sent_parts (reference) WHERE state = 0;

CREATE TABLE quarantine (
  id INTEGER PRIMARY KEY,
  memory TEXT NOT NULL,
  sim_index INTEGER,
  raw TEXT NOT NULL,
  error TEXT NOT NULL,
  received_at INTEGER NOT NULL,
  UNIQUE (memory, sim_index, raw)
);
CREATE INDEX quarantine_by_time ON quarantine (received_at);
)sql";

// Version 3. The outbox: a message queued for a watching session is a sent row that is
// still queued, with what its send needs (the coding asked, whether to ask for reports, the
// concatenation reference; none: chosen when it goes). Claiming it clears queued in one
// update, so two watchers never both send it; from there it is recorded as any send.
// Reports are handed out as messages are; those stored before count as handed out.
constexpr const char* kVersion3 = R"sql(
ALTER TABLE reports ADD COLUMN handed_out_at INTEGER;
UPDATE reports SET handed_out_at = received_at;
CREATE INDEX reports_new ON reports (id) WHERE handed_out_at IS NULL;

ALTER TABLE sent ADD COLUMN queued INTEGER NOT NULL DEFAULT 0;
ALTER TABLE sent ADD COLUMN asked_coding INTEGER NOT NULL DEFAULT 0;
ALTER TABLE sent ADD COLUMN report INTEGER NOT NULL DEFAULT 1;
ALTER TABLE sent ADD COLUMN reference INTEGER CHECK (reference BETWEEN 0 AND 255);
ALTER TABLE sent ADD COLUMN queued_at INTEGER;
CREATE INDEX sent_queued ON sent (id) WHERE queued = 1;
)sql";

// Version 4. The outbox for a program that sends through several modems and tries again:
// where a message may go (a modem's name or a tag), the caller's key that queues it once
// (unique where given), the claims so far, the time before which it waits, the modem that
// claimed it last, the concatenation reference its first attempt went with (a resumed send
// keeps it, so the parts still join), and whether it was given up for good. Forwards are
// the received messages and reports to pass on, one row for each target, until done.
constexpr const char* kVersion4 = R"sql(
ALTER TABLE sent ADD COLUMN route_modem TEXT NOT NULL DEFAULT '';
ALTER TABLE sent ADD COLUMN route_tag TEXT NOT NULL DEFAULT '';
ALTER TABLE sent ADD COLUMN idempotency_key TEXT NOT NULL DEFAULT '';
ALTER TABLE sent ADD COLUMN attempts INTEGER NOT NULL DEFAULT 0;
ALTER TABLE sent ADD COLUMN not_before INTEGER NOT NULL DEFAULT 0;
ALTER TABLE sent ADD COLUMN modem TEXT NOT NULL DEFAULT '';
ALTER TABLE sent ADD COLUMN first_reference INTEGER CHECK (first_reference BETWEEN 0 AND 255);
ALTER TABLE sent ADD COLUMN given_up INTEGER NOT NULL DEFAULT 0;
CREATE UNIQUE INDEX sent_by_key ON sent (idempotency_key) WHERE idempotency_key <> '';

-- kind: 0 a received message, 1 a status report.
CREATE TABLE forwards (
  id INTEGER PRIMARY KEY,
  kind INTEGER NOT NULL CHECK (kind IN (0, 1)),
  item_id INTEGER NOT NULL,
  target TEXT NOT NULL,
  attempts INTEGER NOT NULL DEFAULT 0,
  due_at INTEGER NOT NULL,
  done_at INTEGER,
  error TEXT NOT NULL DEFAULT '',
  UNIQUE (kind, item_id, target)
);
CREATE INDEX forwards_due ON forwards (due_at, id) WHERE done_at IS NULL;
)sql";

constexpr Migration kMigrations[] = {
    {1, kVersion1},
    {2, kVersion2},
    {3, kVersion3},
    {4, kVersion4},
};

}  // namespace

std::span<const Migration> Migrations() { return kMigrations; }

namespace {

// Refuses a file that is not ours or is newer than the steps; returns its version.
std::int64_t CheckVersion(sql::Database& db, std::span<const Migration> steps) {
  const auto app_id = db.QueryInt("PRAGMA application_id");
  const auto version = db.QueryInt("PRAGMA user_version");
  const auto tables = db.QueryInt("SELECT count(*) FROM sqlite_schema");
  if (app_id != kApplicationId && (app_id != 0 || version != 0 || tables != 0)) {
    sql::Fail(db.Path(), "opening", "not a selvarn-sms message store");
  }
  const int latest = steps.back().version;
  if (version > latest) {
    sql::Fail(db.Path(), "opening",
              "schema version " + std::to_string(version) +
                  " was written by a newer selvarn-sms (this one knows up to " +
                  std::to_string(latest) + ")");
  }
  return version;
}

}  // namespace

void Check(sql::Database& db, std::span<const Migration> steps) {
  db.Doing("reading the schema version");
  CheckVersion(db, steps);
}

void CheckCurrent(sql::Database& db, std::span<const Migration> steps) {
  db.Doing("reading the schema version");
  const auto version = CheckVersion(db, steps);
  if (version < steps.back().version) {
    sql::Fail(db.Path(), "opening",
              "schema version " + std::to_string(version) +
                  " is older than this selvarn-sms reads without writing; opening it once for "
                  "writing brings it up to date");
  }
}

void Migrate(sql::Database& db, std::span<const Migration> steps) {
  sql::Transaction txn(db, "reading the schema version");
  // Again inside the transaction: another process may have migrated meanwhile.
  const auto version = CheckVersion(db, steps);
  const int latest = steps.back().version;
  if (version == latest) return;  // nothing to do; the transaction rolls back unchanged
  for (const Migration& step : steps) {
    if (step.version <= version) continue;
    db.Doing("migrating to schema version " + std::to_string(step.version));
    db.Exec(step.sql);
  }
  // Both pragmas take no parameters; the values are our own integers.
  db.Exec(("PRAGMA application_id = " + std::to_string(kApplicationId)).c_str());
  db.Exec(("PRAGMA user_version = " + std::to_string(latest)).c_str());
  txn.Commit();
}

}  // namespace selvarn::store::schema
