#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "selvarn/error.hpp"
#include "store/message_store.hpp"
#include "store/schema.hpp"
#include "store_fixture.hpp"

namespace selvarn::store::testing {
namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// SQL run on the file through a connection of its own.
std::int64_t RawQuery(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_stmt* st = nullptr;
  std::int64_t out = -1;
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK &&
      sqlite3_step(st) == SQLITE_ROW) {
    out = sqlite3_column_int64(st, 0);
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return out;
}

// The description of the RuntimeError 75 that f throws, "" for any other outcome.
template <typename F>
std::string FileError(F&& f) {
  try {
    f();
  } catch (const RuntimeError& e) {
    if (e.number() == 75) return e.description();
  }
  return "";
}

// Runs f in a child process (to change its user or limits there); its exit status.
int InChild(const std::function<int()>& f) {
  const pid_t pid = fork();
  if (pid == 0) _exit(f());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

TEST_F(StoreTest, NewFileIsPrivateAndReopensWithItsMessages) {
  const std::string path = dir_ + "/a/b/messages.db";
  MessageStore(path).StorePart(PartOf(1, 1, 1, "kept"));
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600U);
  ASSERT_EQ(stat((dir_ + "/a").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700U);
  EXPECT_EQ(Render(MessageStore(path).NewMessages()), "kept");
  EXPECT_EQ(RawQuery(path, "PRAGMA user_version"), schema::Migrations().back().version);
  EXPECT_EQ(RawQuery(path, "SELECT journal_mode = 'wal' FROM pragma_journal_mode"), 1);
}

TEST(DefaultPath, FollowsXdgDataHome) {
  const char* cases[][3] = {
      {"/x/data", "/h", "/x/data/selvarn-sms/messages.db"},
      {"data", "/h", "/h/.local/share/selvarn-sms/messages.db"},  // relative: ignored
      {"", "/h", "/h/.local/share/selvarn-sms/messages.db"},
  };
  for (const auto& c : cases) {
    setenv("XDG_DATA_HOME", c[0], 1);
    setenv("HOME", c[1], 1);
    EXPECT_EQ(MessageStore::DefaultPath(), c[2]) << c[0];
  }
  unsetenv("XDG_DATA_HOME");
}

TEST_F(StoreTest, MigrationsRunInStepsAndAllOrNothing) {
  const schema::Migration steps[] = {{1, "CREATE TABLE a (x); INSERT INTO a VALUES (1);"},
                                     {2, "INSERT INTO a VALUES (2);"},
                                     {3, "INSERT INTO a VALUES (3); INSERT INTO b VALUES (1);"}};
  const std::string path = File();
  std::ofstream{path};  // empty, as the store makes it before opening
  sql::Database db(path);
  // Step 1 again would fail: a file at a step's version skips it.
  for (std::size_t known : {1, 1, 2}) schema::Migrate(db, std::span(steps, known));
  const char* rows_and_version =
      "SELECT count(*) * 10 + (SELECT * FROM pragma_user_version) FROM a";
  EXPECT_EQ(RawQuery(path, rows_and_version), 22);
  EXPECT_NE(FileError([&] { schema::Migrate(db, steps); }).find("migrating to schema version 3"),
            std::string::npos);
  EXPECT_EQ(RawQuery(path, rows_and_version), 22);
}

TEST_F(StoreTest, FilesItCannotUseAreRefusedUntouched) {
  const std::string garbage = File("garbage.db");
  std::ofstream(garbage) << std::string(8192, 'x');
  const std::string other = File("other.db");
  RawQuery(other, "CREATE TABLE notes (t)");
  const std::string marked = File("marked.db");  // another program's, still empty
  RawQuery(marked, "PRAGMA application_id = 7");
  const std::string newer = File("newer.db");
  MessageStore{newer};
  RawQuery(newer, "PRAGMA user_version = 99");
  const std::pair<std::string, std::string> cases[] = {
      {garbage, "file is not a database"},
      {other, "not a selvarn-sms message store"},
      {marked, "not a selvarn-sms message store"},
      {newer, "schema version 99 was written by a newer selvarn-sms"},
      {garbage + "/sub/messages.db", "making the folder " + garbage + "/sub: Not a directory"},
  };
  for (const auto& [path, why] : cases) {
    const std::string before = Slurp(path);
    const std::string error = FileError([&] { MessageStore{path}; });
    EXPECT_NE(error.find("message store " + path + ": "), std::string::npos) << error;
    EXPECT_NE(error.find(why), std::string::npos) << error;
    EXPECT_EQ(Slurp(path), before) << path;
  }
}

TEST_F(StoreTest, ReadOnlyFileFailsClearly) {
  const std::string path = File();
  MessageStore{path};
  chmod(path.c_str(), 0444);
  chmod(dir_.c_str(), 0755);
  // Root may write anywhere, so the check runs as nobody.
  EXPECT_EQ(InChild([&] {
              if (geteuid() == 0 && setuid(65534) != 0) return 2;
              const auto e = FileError([&] { MessageStore{path}; });
              return e.find("Permission denied") != std::string::npos ? 0 : 1;
            }),
            0);
}

TEST_F(StoreTest, FullDiskLosesNothingStoredAndStoresNothingHalf) {
  const std::string path = File();
  MessageStore(path).StorePart(PartOf(1, 1, 1, "before"));
  const int stored = InChild([&] {
    std::signal(SIGXFSZ, SIG_IGN);
    MessageStore store(path);
    const rlimit limit{256 * 1024, 256 * 1024};  // the file system is full at 256 KiB
    setrlimit(RLIMIT_FSIZE, &limit);
    const std::string text(150, 'y');
    for (int i = 1; i < 250; ++i) {
      ReceivedPart p = PartOf(i % 256, 3, 1 + i % 3, text);
      p.pdu = std::string(2000, 'A');
      const std::string e = FileError([&] { store.StorePart(p); });
      if (e.find("storing a received part: disk I/O error") != std::string::npos) return i - 1;
      if (!e.empty()) return 250;
    }
    return 251;
  });
  ASSERT_LT(stored, 250) << "the limit was never reached";
  MessageStore store(path, ShowAll());
  std::size_t parts = 0;
  for (const Message& m : store.Inbox()) parts += m.parts.size();
  EXPECT_EQ(parts, static_cast<std::size_t>(stored) + 1);
  EXPECT_EQ(RawQuery(path,
                     "SELECT count(*) FROM messages WHERE present <> "
                     "(SELECT count(*) FROM parts WHERE message_id = messages.id)"),
            0);
  EXPECT_EQ(RawQuery(path, "SELECT 'ok' = (SELECT * FROM pragma_integrity_check)"), 1);
}

}  // namespace
}  // namespace selvarn::store::testing
