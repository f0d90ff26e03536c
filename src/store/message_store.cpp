// Opening the store, and received parts put together into messages.
#include "selvarn/store.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>

#include "platform/clock.hpp"
#include "platform/unique_fd.hpp"
#include "selvarn/error.hpp"
#include "store/schema.hpp"
#include "store/store_impl.hpp"

namespace selvarn::store {

std::int64_t NowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             platform::CurrentClock().WallNow().time_since_epoch())
      .count();
}

void BadArgument(const std::string& text) { throw RuntimeError(5, "message store: " + text); }

namespace {

// Makes the missing folders on the way to the file (0700: messages are private), then
// the file itself (0600), before SQLite sees it; SQLite gives its -wal and -shm files
// the permissions of the database file.
void PrepareFile(const std::string& path) {
  if (path.empty()) sql::Fail(path, "opening", "no file name");
  for (auto slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string folder = path.substr(0, slash);
    struct stat st {};
    if (stat(folder.c_str(), &st) == 0) continue;
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      sql::Fail(path, "making the folder " + folder, std::strerror(errno));
    }
  }
  platform::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd) sql::Fail(path, "opening", std::strerror(errno));
}

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) {
    return pw->pw_dir;
  }
  return {};
}

constexpr const char* kMessageColumns =
    "SELECT m.id, m.sender, m.reference, m.reference_bits, m.total, m.received_at, "
    "m.completed_at, m.handed_out_at, p.sequence, p.smsc, p.scts, p.text, p.pdu, "
    "p.sim_index, p.received_at FROM messages m JOIN parts p ON p.message_id = m.id WHERE ";
constexpr const char* kConflictColumns =
    "SELECT m.id, c.sequence, c.scts, c.text, c.pdu, c.received_at "
    "FROM messages m JOIN conflicts c ON c.message_id = m.id WHERE ";

void BindUpTo(sql::Statement& s, std::int64_t p1, std::int64_t p2) {
  if (s.Parameters() >= 1) s.Bind(1, p1);
  if (s.Parameters() >= 2) s.Bind(2, p2);
}

// The messages that where (a condition over m with parameters ?1 and ?2, if it has them) selects,
// in the order order_by gives, each with its parts and conflicts.
std::vector<Message> LoadMessages(sql::Database& db, const std::string& where,
                                  const std::string& order_by, std::int64_t p1, std::int64_t p2) {
  db.Doing("reading messages");
  std::vector<Message> out;
  std::map<std::int64_t, std::size_t> index;
  {
    auto q = db.Prepare(kMessageColumns + where + " ORDER BY " + order_by + ", p.sequence");
    BindUpTo(q, p1, p2);
    while (q.Step()) {
      const auto id = q.Int(0);
      if (out.empty() || out.back().id != id) {
        Message m;
        m.id = id;
        m.sender = q.Text(1);
        if (auto ref = q.OptionalInt(2)) {
          m.concat = Concatenation{static_cast<int>(*ref), static_cast<int>(q.Int(3)),
                                   static_cast<int>(q.Int(4)), 0};
        }
        m.total = static_cast<int>(q.Int(4));
        m.received_at = q.Int(5);
        m.completed_at = q.OptionalInt(6);
        m.handed_out_at = q.OptionalInt(7);
        index.emplace(id, out.size());
        out.push_back(std::move(m));
      }
      out.back().parts.push_back(Part{static_cast<int>(q.Int(8)), q.Text(9), q.Text(10), q.Text(11),
                                      q.Text(12), static_cast<int>(q.Int(13)), q.Int(14)});
    }
  }
  auto c = db.Prepare(kConflictColumns + where + " ORDER BY c.id");
  BindUpTo(c, p1, p2);
  while (c.Step()) {
    auto it = index.find(c.Int(0));
    if (it == index.end()) continue;
    out[it->second].conflicts.push_back(
        Conflict{static_cast<int>(c.Int(1)), c.Text(2), c.Text(3), c.Text(4), c.Int(5)});
  }
  return out;
}

// Adds a part to a message and completes the message when it was the last one missing.
bool AddPart(sql::Database& db, std::int64_t message_id, int sequence, const ReceivedPart& part,
             std::int64_t now) {
  db.Prepare(
        "INSERT INTO parts (message_id, sequence, sender, smsc, scts, text, pdu, sim_index, "
        "received_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)")
      .Bind(1, message_id)
      .Bind(2, sequence)
      .Bind(3, part.sender)
      .Bind(4, part.smsc)
      .Bind(5, part.scts)
      .Bind(6, part.text)
      .Bind(7, part.pdu)
      .Bind(8, part.sim_index)
      .Bind(9, now)
      .Run();
  db.Prepare(
        "UPDATE messages SET present = present + 1, completed_at = CASE WHEN present + 1 = "
        "total THEN ?2 ELSE completed_at END WHERE id = ?1")
      .Bind(1, message_id)
      .Bind(2, now)
      .Run();
  auto q = db.Prepare("SELECT completed_at IS NOT NULL FROM messages WHERE id = ?1");
  q.Bind(1, message_id);
  return q.Step() && q.Int(0) != 0;
}

std::int64_t NewMessage(sql::Database& db, const std::string& sender,
                        const std::optional<Concatenation>& c, std::int64_t now) {
  auto q = db.Prepare(
      "INSERT INTO messages (sender, reference, reference_bits, total, present, received_at) "
      "VALUES (?1, ?2, ?3, ?4, 0, ?5)");
  q.Bind(1, sender).Bind(5, now);
  if (c) {
    q.Bind(2, c->reference).Bind(3, c->reference_bits).Bind(4, c->total);
  } else {
    q.BindNull(2).BindNull(3).Bind(4, 1);
  }
  q.Run();
  return db.LastInsertId();
}

// A single message is the same one again when sender, time stamp, text and storage
// index agree: what a read repeated after a crash brings back.
PartResult StoreSingle(sql::Database& db, const ReceivedPart& part, std::int64_t now,
                       PartOutcome outcome) {
  auto dup = db.Prepare(
      "SELECT p.message_id FROM parts p JOIN messages m ON m.id = p.message_id "
      "WHERE p.sender = ?1 AND p.scts = ?2 AND p.text = ?3 AND p.sim_index = ?4 "
      "AND m.reference IS NULL LIMIT 1");
  dup.Bind(1, part.sender).Bind(2, part.scts).Bind(3, part.text).Bind(4, part.sim_index);
  if (dup.Step()) return {dup.Int(0), PartOutcome::Duplicate, true};
  const auto id = NewMessage(db, part.sender, std::nullopt, now);
  return {id, outcome, AddPart(db, id, 1, part, now)};
}

// Parts belong together when sender, reference, its size and the total agree. The same
// key comes back once the sender's reference counter wraps, so only the newest message
// of a key that is still incomplete and younger than the window takes new parts.
PartResult StoreConcatenated(sql::Database& db, const ReceivedPart& part, const Concatenation& c,
                             std::int64_t now, std::int64_t window) {
  // The same part again (same text and time stamp), whichever message of the key has it.
  auto dup = db.Prepare(
      "SELECT m.id, m.completed_at IS NOT NULL FROM messages m JOIN parts p "
      "ON p.message_id = m.id WHERE m.sender = ?1 AND m.reference = ?2 AND "
      "m.reference_bits = ?3 AND m.total = ?4 AND p.sequence = ?5 AND p.text = ?6 AND "
      "p.scts = ?7 ORDER BY m.id DESC LIMIT 1");
  dup.Bind(1, part.sender).Bind(2, c.reference).Bind(3, c.reference_bits).Bind(4, c.total);
  dup.Bind(5, c.sequence).Bind(6, part.text).Bind(7, part.scts);
  if (dup.Step()) return {dup.Int(0), PartOutcome::Duplicate, dup.Int(1) != 0};

  std::optional<std::int64_t> open;
  {
    auto newest = db.Prepare(
        "SELECT id, received_at, completed_at IS NULL FROM messages WHERE sender = ?1 AND "
        "reference = ?2 AND reference_bits = ?3 AND total = ?4 ORDER BY id DESC LIMIT 1");
    newest.Bind(1, part.sender).Bind(2, c.reference).Bind(3, c.reference_bits);
    newest.Bind(4, c.total);
    if (newest.Step() && newest.Int(2) != 0 && now - newest.Int(1) <= window) {
      open = newest.Int(0);
    }
  }
  if (open) {
    auto have = db.Prepare("SELECT text FROM parts WHERE message_id = ?1 AND sequence = ?2");
    have.Bind(1, *open).Bind(2, c.sequence);
    if (have.Step()) {
      if (have.Text(0) == part.text) return {*open, PartOutcome::Duplicate, false};
      // Keep the first text; the other one is kept aside, once.
      db.Prepare(
            "INSERT OR IGNORE INTO conflicts (message_id, sequence, scts, text, pdu, "
            "received_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6)")
          .Bind(1, *open)
          .Bind(2, c.sequence)
          .Bind(3, part.scts)
          .Bind(4, part.text)
          .Bind(5, part.pdu)
          .Bind(6, now)
          .Run();
      return {*open, PartOutcome::Conflict, false};
    }
  } else {
    open = NewMessage(db, part.sender, c, now);
  }
  return {*open, PartOutcome::Stored, AddPart(db, *open, c.sequence, part, now)};
}

}  // namespace

MessageStore::MessageStore() : MessageStore(DefaultPath(), Options{}) {}

MessageStore::MessageStore(const std::string& path) : MessageStore(path, Options{}) {}

MessageStore::MessageStore(const std::string& path, const Options& options) {
  if (options.read_only) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) sql::Fail(path, "opening", std::strerror(errno));
  } else {
    PrepareFile(path);
  }
  impl_ = std::make_unique<Impl>(path, options);
  auto& db = impl_->db;
  db.Doing("opening");
  db.BusyTimeout(options.busy_timeout_ms);
  if (options.read_only) {
    schema::CheckCurrent(db, schema::Migrations());
    return;
  }
  db.Exec("PRAGMA foreign_keys = ON");
  schema::Check(db, schema::Migrations());
  // WAL: readers never block the writer, and a commit is one append.
  {
    auto mode = db.Prepare("PRAGMA journal_mode = WAL");
    if (!mode.Step() || mode.Text(0) != "wal") {
      sql::Fail(path, "opening", "the file system does not allow write-ahead logging");
    }
  }
  db.Exec(options.sync_every_commit ? "PRAGMA synchronous = FULL" : "PRAGMA synchronous = NORMAL");
  schema::Migrate(db, schema::Migrations());
}

MessageStore::~MessageStore() = default;
MessageStore::MessageStore(MessageStore&&) noexcept = default;
MessageStore& MessageStore::operator=(MessageStore&&) noexcept = default;

std::string MessageStore::DefaultPath() {
  // XDG asks that a relative XDG_DATA_HOME be ignored.
  std::string base;
  if (const char* x = std::getenv("XDG_DATA_HOME"); x != nullptr && x[0] == '/') {
    base = x;
  } else {
    const std::string home = HomeFolder();
    if (home.empty()) sql::Fail("(default)", "opening", "no home folder to keep it in");
    base = home + "/.local/share";
  }
  return base + "/selvarn-sms/messages.db";
}

const std::string& MessageStore::Path() const { return impl_->db.Path(); }

PartResult MessageStore::StorePart(const ReceivedPart& part) {
  std::optional<Concatenation> c = part.concat;
  PartOutcome outcome = PartOutcome::Stored;
  if (c) {
    if (c->reference_bits != 8 && c->reference_bits != 16) {
      BadArgument("a concatenation reference has 8 or 16 bits, not " +
                  std::to_string(c->reference_bits));
    }
    if (c->reference < 0 || c->reference >= (1 << c->reference_bits)) {
      BadArgument("concatenation reference " + std::to_string(c->reference) + " does not fit " +
                  std::to_string(c->reference_bits) + " bits");
    }
    // What the modem sent cannot be refused without leaving it on the SIM for ever, and
    // cannot be joined to anything: it stands alone.
    if (c->sequence < 1 || c->sequence > c->total || c->total > 255) {
      c.reset();
      outcome = PartOutcome::StoredAsSingle;
    }
  }
  const std::int64_t now = part.received_at != 0 ? part.received_at : NowSeconds();
  auto& db = impl_->db;
  sql::Transaction txn(db, "storing a received part");
  PartResult result = c ? StoreConcatenated(db, part, *c, now, impl_->options.reassembly_window)
                        : StoreSingle(db, part, now, outcome);
  txn.Commit();
  return result;
}

std::vector<Message> MessageStore::NewMessages() {
  return LoadMessages(impl_->db, "m.completed_at IS NOT NULL AND m.handed_out_at IS NULL",
                      "m.completed_at, m.id", 0, 0);
}

bool MessageStore::MarkHandedOut(std::int64_t message_id) {
  auto& db = impl_->db;
  db.Doing("marking a message handed out");
  db.Prepare(
        "UPDATE messages SET handed_out_at = ?2 WHERE id = ?1 AND completed_at IS NOT NULL "
        "AND handed_out_at IS NULL")
      .Bind(1, message_id)
      .Bind(2, NowSeconds())
      .Run();
  return db.Changes() == 1;
}

std::vector<Message> MessageStore::IncompleteMessages() {
  return LoadMessages(impl_->db, "m.completed_at IS NULL AND m.received_at <= ?1",
                      "m.received_at, m.id", NowSeconds() - impl_->options.incomplete_after, 0);
}

std::vector<Message> MessageStore::Inbox(std::int64_t since) {
  return LoadMessages(impl_->db,
                      "m.received_at >= ?1 AND (m.completed_at IS NOT NULL OR "
                      "m.received_at <= ?2)",
                      "m.received_at, m.id", since, NowSeconds() - impl_->options.incomplete_after);
}

std::vector<Message> MessageStore::InboxAfter(std::int64_t after, int limit) {
  if (limit < 1) BadArgument("a listing takes at least 1 message, not " + std::to_string(limit));
  std::vector<Message> out = LoadMessages(
      impl_->db, "m.id IN (SELECT id FROM messages WHERE id > ?1 ORDER BY id LIMIT ?2)", "m.id",
      after, limit);
  // A message still arriving ends the batch: a caller that moved its cursor past it would
  // never see it complete. Once it is old, it shows incomplete, as Inbox shows it.
  const std::int64_t young = NowSeconds() - impl_->options.incomplete_after;
  const auto arriving = std::find_if(out.begin(), out.end(), [&](const Message& m) {
    return !m.Complete() && m.received_at > young;
  });
  out.erase(arriving, out.end());
  return out;
}

std::string Message::Text() const {
  std::string out;
  for (const Part& p : parts) out += p.text;
  return out;
}

std::vector<int> Message::Missing() const {
  std::vector<int> out;
  std::size_t next = 0;
  for (int s = 1; s <= total; ++s) {
    if (next < parts.size() && parts[next].sequence == s) {
      ++next;
    } else {
      out.push_back(s);
    }
  }
  return out;
}

}  // namespace selvarn::store
