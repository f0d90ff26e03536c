// A thin layer over SQLite's C interface: one connection, prepared statements kept for
// reuse, transactions that roll back unless committed. Every failure becomes
// RuntimeError 75 naming the file and SQLite's own message.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace selvarn::store::sql {

inline constexpr int kFileError = 75;

// Throws RuntimeError 75: "message store <path>: <what>: <detail>".
[[noreturn]] void Fail(const std::string& path, std::string_view what, std::string_view detail);

class Database;

// A use of a prepared statement; resets it when done, so no read stays open.
class Statement {
 public:
  Statement(Database& db, sqlite3_stmt* stmt) : db_(&db), stmt_(stmt) {}
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, std::int64_t value);
  Statement& Bind(int index, int value) { return Bind(index, static_cast<std::int64_t>(value)); }
  Statement& Bind(int index, std::string_view value);
  Statement& Bind(int index, const std::string& value) {
    return Bind(index, std::string_view(value));
  }
  Statement& Bind(int index, const char* value) { return Bind(index, std::string_view(value)); }
  Statement& BindNull(int index);
  // The highest parameter number in the statement.
  int Parameters() const;
  template <typename T>
  Statement& Bind(int index, const std::optional<T>& value) {
    return value ? Bind(index, *value) : BindNull(index);
  }

  // Next row: true while there is one.
  bool Step();
  // Runs a statement that returns no rows.
  void Run();

  std::int64_t Int(int column) const;
  std::optional<std::int64_t> OptionalInt(int column) const;
  std::string Text(int column) const;

 private:
  Database* db_;
  sqlite3_stmt* stmt_;
};

class Database {
 public:
  // Opens an existing file for reading and writing; with read_only for reading alone, so
  // that a file on a read-only medium or in another user's folder can be read.
  explicit Database(std::string path, bool read_only = false);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  const std::string& Path() const { return path_; }
  sqlite3* Handle() const { return db_; }

  // The statement for sql, prepared once and reset, with its bindings cleared, on each use.
  Statement Prepare(std::string_view sql);
  // Runs SQL text without parameters (set-up and schema).
  void Exec(const char* sql);
  // One integer from a query without parameters (pragmas, counts).
  std::int64_t QueryInt(const char* sql);
  std::int64_t LastInsertId() const;
  // Rows the last statement changed.
  int Changes() const;
  void BusyTimeout(int ms);
  // Names what the next failure was doing, for the error text.
  void Doing(std::string_view what) { doing_ = what; }
  // Throws the connection's last error.
  [[noreturn]] void Fail() const;

 private:
  struct StmtDeleter {
    void operator()(sqlite3_stmt* s) const;
  };
  std::string path_;
  sqlite3* db_ = nullptr;
  std::string doing_ = "opening";
  std::map<std::string, std::unique_ptr<sqlite3_stmt, StmtDeleter>, std::less<>> cache_;
};

// BEGIN IMMEDIATE: takes the write lock at once, so two writers wait for each other
// instead of failing half-way. Rolls back on destruction unless committed.
class Transaction {
 public:
  Transaction(Database& db, std::string_view what);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void Commit();

 private:
  Database& db_;
  bool open_ = true;
};

}  // namespace selvarn::store::sql
