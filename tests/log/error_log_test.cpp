#include "log/error_log.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "platform/clock.hpp"
#include "platform/library_folder.hpp"
#include "platform/system_calls.hpp"
#include "selvarn/error.hpp"

namespace selvarn::Error {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

TEST(Mask, Keywords) {
  const char* const cases[][2] = {
      {"TOKEN at ok Ok", "TQ24>1EN at ok Ok"},  // case matters
      {"CGATT", "CGQ24>0T"},                    // AT goes first, so CGATT never matches whole
      {"SM and \"SM\" \"ME\" ME", "SM and Q24>26 Q24>27 ME"},
      {"+CME ERROR: 10 OKOK", "+Q24>3 Q24>2: 10 Q24>1Q24>1"},
      {"\"STO UNSENT\" STO UNSENT \"0007\"", "Q24>23 STO UNSENT Q24>24"},
      {"Start STK-- STGI --End STK", "Q24>28 Q24>30 Q24>33"},
      {"Start MMS--MMSCURL--End MMS Größe €", "Q24>34Q24>36Q24>46 Größe €"},
  };
  for (const auto& k : cases) EXPECT_EQ(Mask(k[0]), k[1]) << k[0];
}

struct FixedClock final : platform::Clock {
  system_clock::time_point wall = sys_days{2015y / 7 / 5} + 9h + 3min + 7s;
  std::int64_t NowMs() override { return 0; }
  system_clock::time_point WallNow() override { return wall; }
  void SleepMs(int) override {}
};

std::string Slurp(const fs::path& p) {
  std::ostringstream s;
  s << std::ifstream(p, std::ios::binary).rdbuf();
  return s.str();
}

class LogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC0", 1);  // the file name and heading use local time
    tzset();
    char pattern[] = "/tmp/selvarn-log-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    platform::SetLibraryFolderOverride(dir_.string());
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
      EXPECT_NE(std::string(e.description()).find("/SELVARN SMS API Log_2015-7-5.txt\""),
                std::string::npos)
          << what << ": " << e.description();
    }
  }

  fs::path dir_;
  fs::path today_ = "SELVARN SMS API Log_2015-7-5.txt";
  FixedClock clock_;
};

TEST_F(LogFile, EntriesGoToTheDaysFileInCallOrderOwnerOnly) {
  const mode_t umask = ::umask(0277);  // must not lock the next entry out
  WriteEntry("Message Part: Hello");
  clock_.wall = sys_days{2024y / 12 / 31} + 23h + 59min + 59s;
  WriteEntry("AT");
  clock_.wall = sys_days{2015y / 7 / 5} + 21h + 30min + 59s;
  WriteEntry("Message Part: send AT+CMGS= OK");
  ::umask(umask);
  EXPECT_EQ(Slurp(dir_ / today_),
            "*** SELVARN SMS API version 6.1.0 log dated on 2015-07-05 09:03:07 ***\r\n"
            "Message Part: Hello\r\n"
            "*** SELVARN SMS API version 6.1.0 log dated on 2015-07-05 21:30:59 ***\r\n"
            "Message Part: send Q24>0+Q24>19= Q24>1\r\n");
  EXPECT_EQ(Slurp(dir_ / "SELVARN SMS API Log_2024-12-31.txt"),
            "*** SELVARN SMS API version 6.1.0 log dated on 2024-12-31 23:59:59 ***\r\nQ24>0\r\n");
  EXPECT_EQ(fs::status(dir_ / today_).permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
}

// Whoever can create files in the library's folder must not collect the logged texts by
// planting something at the day's name.
TEST_F(LogFile, RefusesAFileThatIsNotItsOwnOrAFolderItCannotUse) {
  const fs::path today = dir_ / today_;
  const fs::path other = dir_ / "other.txt";
  const auto plain = [&](int mode) {
    return [&, mode] { std::ofstream(today) << "x", fs::permissions(today, fs::perms(mode)); };
  };
  const auto folder = [&](const fs::path& p) {
    return [&, p] { platform::SetLibraryFolderOverride(p.string()); };
  };
  const std::pair<const char*, std::function<void()>> cases[] = {
      {"symbolic link", [&] { fs::create_symlink(other, today); }},
      {"dangling symbolic link", [&] { fs::create_symlink(dir_ / "absent", today); }},
      {"FIFO without a reader", [&] { ::mkfifo(today.c_str(), 0600); }},
      {"directory", [&] { fs::create_directory(today); }},
      {"hard link", [&] { fs::create_hard_link(other, today); }},
      {"mode 0640", plain(0640)},
      {"missing folder", folder(dir_ / "missing")},
      {"folder is a file", folder(other)},
  };
  for (const auto& [name, plant] : cases) {
    std::ofstream(other) << "keep";
    ::chmod(other.c_str(), 0600);
    plant();
    ExpectRefused(name);
    EXPECT_EQ(Slurp(other), "keep") << name;
    for (const auto& file : fs::recursive_directory_iterator(dir_)) {
      EXPECT_TRUE(!file.is_regular_file() || Slurp(file).find("secret") == std::string::npos)
          << name << ": " << file.path();
    }
    fs::remove_all(today);
    platform::SetLibraryFolderOverride(dir_.string());
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

// Signals and short writes cut the entry into pieces: the file gets it whole. A write
// that fails or moves nothing is an error, not a hang.
TEST_F(LogFile, InterruptedShortOrFailingWrites) {
  struct Pieces : platform::SystemCalls {
    int opens = 0, writes = 0, fail = 0;  // fail: 0 never, -errno, or 1 for no progress
    int Open(const char* path, int flags, mode_t mode) override {
      return ++opens < 3 ? (errno = EINTR, -1) : SystemCalls::Open(path, flags, mode);
    }
    ssize_t Write(int fd, const void* bytes, std::size_t size) override {
      if (++writes % 2 == 1) return errno = EINTR, -1;
      if (fail != 0 && writes > 4) return fail < 0 ? (errno = -fail, -1) : 0;
      return SystemCalls::Write(fd, bytes, std::min<std::size_t>(size, 1));
    }
  };
  for (const int fail : {0, -ENOSPC, 1}) {
    Pieces sys;
    sys.fail = fail;
    const platform::SystemCallsGuard guard(sys);
    fs::remove(dir_ / today_);
    if (fail != 0) {
      ExpectRefused("write failing with " + std::to_string(fail));
      continue;
    }
    WriteEntry("Message Part: one");
    EXPECT_EQ(Slurp(dir_ / today_),
              "*** SELVARN SMS API version 6.1.0 log dated on 2015-07-05 09:03:07 ***\r\n"
              "Message Part: one\r\n");
    EXPECT_GT(sys.writes, 150);
  }
}

}  // namespace
}  // namespace selvarn::Error
