#include "store/sqlite.hpp"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <utility>

#include "selvarn/error.hpp"

namespace selvarn::store::sql {

void Fail(const std::string& path, std::string_view what, std::string_view detail) {
  std::string text = "message store " + path + ": ";
  text.append(what).append(": ").append(detail);
  throw RuntimeError(kFileError, text);
}

Statement::~Statement() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

Statement& Statement::Bind(int index, std::int64_t value) {
  if (int rc = sqlite3_bind_int64(stmt_, index, value); rc != SQLITE_OK) db_->Fail();
  return *this;
}

Statement& Statement::Bind(int index, std::string_view value) {
  int rc =
      sqlite3_bind_text64(stmt_, index, value.data(), value.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  if (rc != SQLITE_OK) db_->Fail();
  return *this;
}

Statement& Statement::BindNull(int index) {
  if (int rc = sqlite3_bind_null(stmt_, index); rc != SQLITE_OK) db_->Fail();
  return *this;
}

int Statement::Parameters() const { return sqlite3_bind_parameter_count(stmt_); }

bool Statement::Step() {
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  db_->Fail();
}

void Statement::Run() {
  while (Step()) {
  }
}

std::int64_t Statement::Int(int column) const { return sqlite3_column_int64(stmt_, column); }

std::optional<std::int64_t> Statement::OptionalInt(int column) const {
  if (sqlite3_column_type(stmt_, column) == SQLITE_NULL) return std::nullopt;
  return Int(column);
}

std::string Statement::Text(int column) const {
  const auto* p = sqlite3_column_text(stmt_, column);
  if (p == nullptr) return {};
  return {reinterpret_cast<const char*>(p),
          static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column))};
}

void Database::StmtDeleter::operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }

namespace {

// The file as a URI name, every byte outside the unreserved set and "/" percent-encoded.
std::string FileUri(const std::string& path) {
  std::string uri = "file:";
  for (const char c : path) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) != 0 || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
      uri += c;
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", u);
      uri += hex;
    }
  }
  return uri;
}

// Reading a file in write-ahead-log mode takes a shared-memory file beside it. Where none
// can be made (a read-only file system, a folder of another user) and no log is pending,
// the file holds everything and is read as it stands.
std::string ReadOnlyUri(const std::string& path) {
  std::string uri = FileUri(path);
  const auto slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  struct stat st {};
  if (access(folder.c_str(), W_OK) != 0 && stat((path + "-wal").c_str(), &st) != 0) {
    uri += "?immutable=1";
  }
  return uri;
}

}  // namespace

Database::Database(std::string path, bool read_only) : path_(std::move(path)) {
  // No creation of a missing file here: the caller made the file with the permissions it
  // wants. Reading alone goes by a URI name (its options need one), percent-encoded so that
  // every path means itself.
  const int rc =
      read_only
          ? sqlite3_open_v2(ReadOnlyUri(path_).c_str(), &db_,
                            SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr)
          : sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                            nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_close(db_);
    db_ = nullptr;
    sql::Fail(path_, "opening", sqlite3_errstr(rc));
  }
}

// Closes once the cached statements, destroyed after this body, are finalized.
Database::~Database() { sqlite3_close_v2(db_); }

void Database::Fail() const { sql::Fail(path_, doing_, sqlite3_errmsg(db_)); }

Statement Database::Prepare(std::string_view sql) {
  auto it = cache_.find(sql);
  if (it == cache_.end()) {
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()),
                                SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc != SQLITE_OK) Fail();
    it = cache_.emplace(std::string(sql), std::unique_ptr<sqlite3_stmt, StmtDeleter>(stmt)).first;
  }
  return Statement(*this, it->second.get());
}

void Database::Exec(const char* sql) {
  if (int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); rc != SQLITE_OK) Fail();
}

std::int64_t Database::QueryInt(const char* sql) {
  Statement s = Prepare(sql);
  return s.Step() ? s.Int(0) : 0;
}

std::int64_t Database::LastInsertId() const { return sqlite3_last_insert_rowid(db_); }

int Database::Changes() const { return sqlite3_changes(db_); }

void Database::BusyTimeout(int ms) { sqlite3_busy_timeout(db_, ms); }

Transaction::Transaction(Database& db, std::string_view what) : db_(db) {
  db_.Doing(what);
  db_.Exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
  if (open_) sqlite3_exec(db_.Handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::Commit() {
  db_.Exec("COMMIT");
  open_ = false;
}

}  // namespace selvarn::store::sql
