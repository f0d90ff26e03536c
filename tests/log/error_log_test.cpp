#include "log/error_log.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/clock.hpp"
#include "platform/library_folder.hpp"
#include "platform/system_calls.hpp"
#include "selvarn/error.hpp"

namespace selvarn::Error {
namespace {

namespace fs = std::filesystem;

TEST(Mask, Keywords) {
  const char* const cases[][2] = {
      {"Hello, see you at six", "Hello, see you at six"},
      {"TOKEN", "TQ24>1EN"},
      {"at ok Ok", "at ok Ok"},
      {"CGATT", "CGQ24>0T"},  // AT goes first, so CGATT never matches whole
      {"SM and \"SM\"", "SM and Q24>26"},
      {"\"ME\" ME", "Q24>27 ME"},
      {"AT+CMGS=", "Q24>0+Q24>19="},
      {"+CME ERROR: 10", "+Q24>3 Q24>2: 10"},
      {"OKOK", "Q24>1Q24>1"},
      {"\"STO UNSENT\" STO UNSENT \"0007\"", "Q24>23 STO UNSENT Q24>24"},
      {"Start STK-- STGI --End STK", "Q24>28 Q24>30 Q24>33"},
      {"Start MMS--MMSCURL--End MMS", "Q24>34Q24>36Q24>46"},
      {"Größe OK €", "Größe Q24>1 €"},
  };
  for (const auto& k : cases) EXPECT_EQ(Mask(k[0]), k[1]) << k[0];
}

class FixedClock final : public platform::Clock {
 public:
  std::chrono::system_clock::time_point wall;
  std::int64_t NowMs() override { return 0; }
  std::chrono::system_clock::time_point WallNow() override { return wall; }
  void SleepMs(int) override {}
};

// A local calendar time, whatever the machine's zone.
std::chrono::system_clock::time_point Local(int y, int mo, int d, int h, int mi, int s) {
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

std::string Slurp(const fs::path& p) {
  std::ostringstream s;
  s << std::ifstream(p, std::ios::binary).rdbuf();
  return s.str();
}

mode_t Mode(const fs::path& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

class LogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/selvarn-log-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    platform::SetLibraryFolderOverride(dir_.string());
    clock_.wall = Local(2015, 7, 5, 9, 3, 7);
    platform::SetClock(&clock_);
  }
  void TearDown() override {
    platform::SetClock(nullptr);
    platform::SetLibraryFolderOverride("");
    fs::remove_all(dir_);
  }

  // WriteEntry must fail with 75 and name the file.
  static void ExpectRefused(const std::string& what) {
    try {
      WriteEntry("Message Part: secret");
      ADD_FAILURE() << what << ": written";
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.number(), err::kPathFileAccess) << what;
      EXPECT_NE(std::string(e.description()).find("/SELVARN SMS API Log_2015-7-5.txt"),
                std::string::npos)
          << what << ": " << e.description();
    }
  }

  fs::path dir_;
  fs::path today_ = "SELVARN SMS API Log_2015-7-5.txt";
  FixedClock clock_;
};

TEST_F(LogFile, NameFollowsTheLocalDateWithoutLeadingZeros) {
  struct Case {
    int y, mo, d, h;
    const char* name;
  };
  const Case cases[] = {
      {2015, 7, 5, 12, "SELVARN SMS API Log_2015-7-5.txt"},
      {2024, 12, 31, 23, "SELVARN SMS API Log_2024-12-31.txt"},
      {2023, 1, 10, 0, "SELVARN SMS API Log_2023-1-10.txt"},
  };
  for (const Case& k : cases) {
    clock_.wall = Local(k.y, k.mo, k.d, k.h, 0, 0);
    WriteEntry("x");
    EXPECT_TRUE(fs::is_regular_file(dir_ / k.name)) << k.name;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 3);
}

TEST_F(LogFile, EntriesAppendInCallOrderWithHeading) {
  WriteEntry("Message Part: Hello");
  clock_.wall = Local(2015, 7, 5, 21, 30, 59);
  WriteEntry("Message Part: send AT+CMGS= OK");
  EXPECT_EQ(Slurp(dir_ / today_),
            "*** SELVARN SMS API version 6.1.0 log dated on 2015-07-05 09:03:07 ***\r\n"
            "Message Part: Hello\r\n"
            "*** SELVARN SMS API version 6.1.0 log dated on 2015-07-05 21:30:59 ***\r\n"
            "Message Part: send Q24>0+Q24>19= Q24>1\r\n");
}

TEST_F(LogFile, CreatedOwnerOnlyWhateverTheUmask) {
  for (const mode_t mask : {0000, 0022, 0277}) {
    fs::remove(dir_ / today_);
    const mode_t old = ::umask(mask);
    WriteEntry("a");
    WriteEntry("b");  // a narrowing umask must not lock the next entry out
    ::umask(old);
    EXPECT_EQ(Mode(dir_ / today_), 0600u) << "umask " << mask;
  }
}

// Whoever can create files in the library's folder must not collect the logged texts by
// planting something at the day's name.
TEST_F(LogFile, RefusesAFileThatIsNotItsOwn) {
  const fs::path today = dir_ / today_;
  const fs::path other = dir_ / "other.txt";
  const auto plain = [&](int mode) {
    return [&, mode] {
      std::ofstream(today) << "x";
      fs::permissions(today, static_cast<fs::perms>(mode));
    };
  };
  struct Case {
    const char* name;
    std::function<void()> plant;
  } cases[] = {
      {"symbolic link", [&] { fs::create_symlink(other, today); }},
      {"dangling symbolic link", [&] { fs::create_symlink(dir_ / "absent", today); }},
      {"FIFO without a reader", [&] { ASSERT_EQ(::mkfifo(today.c_str(), 0600), 0); }},
      {"directory", [&] { fs::create_directory(today); }},
      {"hard link", [&] { fs::create_hard_link(other, today); }},
      {"mode 0666", plain(0666)},
      {"mode 0640", plain(0640)},
      {"mode 0700", plain(0700)},
  };
  for (const Case& c : cases) {
    std::ofstream(other) << "keep";
    ::chmod(other.c_str(), 0600);
    c.plant();
    const std::string before = fs::is_regular_file(today) ? Slurp(today) : "";
    ExpectRefused(c.name);
    EXPECT_EQ(Slurp(other), "keep") << c.name;
    if (fs::is_regular_file(today)) {
      EXPECT_EQ(Slurp(today), before) << c.name;
    }
    EXPECT_FALSE(fs::exists(dir_ / "absent")) << c.name;
    fs::remove_all(today);
  }
}

TEST_F(LogFile, RefusesAFileOfAnotherUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file to another user";
  std::ofstream(dir_ / today_) << "x";
  ASSERT_EQ(::chmod((dir_ / today_).c_str(), 0600), 0);
  ASSERT_EQ(::chown((dir_ / today_).c_str(), 65534, 65534), 0);
  ExpectRefused("owned by another user");
  EXPECT_EQ(Slurp(dir_ / today_), "x");
}

// Signals and short writes cut the entry into pieces; the file gets it whole.
TEST_F(LogFile, InterruptedOrShortWritesStillAppendTheWholeEntry) {
  struct Pieces : platform::SystemCalls {
    int opens_interrupted = 2;
    int writes = 0;
    int Open(const char* path, int flags, mode_t mode) override {
      if (opens_interrupted-- > 0) return errno = EINTR, -1;
      return SystemCalls::Open(path, flags, mode);
    }
    ssize_t Write(int fd, const void* bytes, std::size_t size) override {
      if (++writes % 2 == 1) return errno = EINTR, -1;
      return SystemCalls::Write(fd, bytes, std::min<std::size_t>(size, 7));
    }
  } sys;
  const platform::SystemCallsGuard guard(sys);
  WriteEntry("Message Part: one");
  EXPECT_EQ(Slurp(dir_ / today_),
            "*** SELVARN SMS API version 6.1.0 log dated on 2015-07-05 09:03:07 ***\r\n"
            "Message Part: one\r\n");
  EXPECT_GT(sys.writes, 20);
}

TEST_F(LogFile, UnwritableFolderIsPathFileAccessError) {
  std::ofstream(dir_ / "plain") << "x";
  std::vector<fs::path> folders = {dir_ / "missing", dir_ / "plain"};
  if (::geteuid() != 0) {  // permission bits do not stop root
    fs::create_directory(dir_ / "read-only");
    fs::permissions(dir_ / "read-only", fs::perms::owner_read | fs::perms::owner_exec);
    folders.push_back(dir_ / "read-only");
  }
  for (const fs::path& folder : folders) {
    platform::SetLibraryFolderOverride(folder.string());
    ExpectRefused(folder.string());
  }
}

}  // namespace
}  // namespace selvarn::Error
