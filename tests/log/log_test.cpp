#include "log/log.hpp"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.hpp"
#include "platform/system_calls.hpp"
#include "selvarn/error.hpp"
#include "support/files.hpp"

namespace selvarn::log {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using selvarn::testing::Slurp;

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

class LogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC0", 1);  // the file name and heading use local time
    tzset();
    setenv("SELVARN_SMS_LOG_DIR", dir_.c_str(), 1);
    platform::SetClock(&clock_);
  }
  void TearDown() override {
    platform::SetClock(nullptr);
    unsetenv("SELVARN_SMS_LOG_DIR");
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

  selvarn::testing::TempDir tmp_;
  fs::path dir_ = tmp_.path;
  fs::path today_ = "SELVARN SMS API Log_2015-7-5.txt";
  FixedClock clock_;
};

TEST_F(LogFile, EntriesGoToTheDaysFileInCallOrder) {
  WriteEntry("Message Part: Hello");
  clock_.wall = sys_days{2024y / 12 / 31} + 23h + 59min + 59s;
  WriteEntry("AT");
  clock_.wall = sys_days{2015y / 7 / 5} + 21h + 30min + 59s;
  WriteEntry("Message Part: send AT+CMGS= OK");
  EXPECT_EQ(Slurp(dir_ / today_),
            "*** SELVARN SMS API version 6.1.0 log dated on 2015-07-05 09:03:07 ***\r\n"
            "Message Part: Hello\r\n"
            "*** SELVARN SMS API version 6.1.0 log dated on 2015-07-05 21:30:59 ***\r\n"
            "Message Part: send Q24>0+Q24>19= Q24>1\r\n");
  EXPECT_EQ(Slurp(dir_ / "SELVARN SMS API Log_2024-12-31.txt"),
            "*** SELVARN SMS API version 6.1.0 log dated on 2024-12-31 23:59:59 ***\r\nQ24>0\r\n");
}

// Installed, the library's folder belongs to root: the log goes to a folder of the user's,
// made owner-only where missing (a folder that was there keeps its mode), as is the file.
TEST_F(LogFile, TheFolderFollowsTheEnvironmentAndIsMadeOwnerOnly) {
  const fs::path home = dir_ / "home", own = dir_ / "own/a", state = dir_ / "state";
  fs::create_directory(home);
  fs::permissions(home, fs::perms(0755));
  const struct {
    std::optional<std::string> log_dir, state_home;  // nullopt: unset
    fs::path folder, first_made;
  } cases[] = {
      {own, state, own, dir_ / "own"},
      {"", state, state / "selvarn-sms", state},  // empty counts as unset
      {std::nullopt, "state", home / ".local/state/selvarn-sms", home / ".local"},  // relative
  };
  const std::string user_home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
  setenv("HOME", home.c_str(), 1);
  const mode_t umask = ::umask(0277);  // must not lock the log out of its folders or file
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    for (const auto& [name, value] :
         {std::pair{"SELVARN_SMS_LOG_DIR", c.log_dir}, {"XDG_STATE_HOME", c.state_home}}) {
      value ? setenv(name, value->c_str(), 1) : unsetenv(name);
    }
    EXPECT_EQ(LogFolder(), c.folder.string());
    WriteEntry("Message Part: here");
    EXPECT_EQ(fs::status(c.folder / today_).permissions(), fs::perms(0600));
    for (fs::path made = c.folder; made != c.first_made.parent_path(); made = made.parent_path())
      EXPECT_EQ(fs::status(made).permissions(), fs::perms(0700)) << made;
  }
  ::umask(umask);
  EXPECT_EQ(fs::status(home).permissions(), fs::perms(0755));
  unsetenv("HOME");  // the home folder of the user's account, then
  EXPECT_EQ(LogFolder(), std::string(getpwuid(geteuid())->pw_dir) + "/.local/state/selvarn-sms");
  unsetenv("XDG_STATE_HOME");
  setenv("HOME", user_home.c_str(), 1);
}

// Refused is whatever another user could have planted, or could still change or read by
// a second name; any other file of the user's is appended to, whatever its read bits.
TEST_F(LogFile, AFileAtTheDaysNameIsWrittenOnlyWhenNoOneElseCanReachIt) {
  const fs::path today = dir_ / today_;
  const fs::path other = dir_ / "other.txt";
  const auto plain = [&](int mode) {
    return [&, mode] { std::ofstream(today) << "x", fs::permissions(today, fs::perms(mode)); };
  };
  const struct {
    const char* kind;
    std::function<void()> plant;
    bool written = false;
    bool root_only = false;  // chown needs root (CI runs the tests as root)
  } cases[] = {
      {"symbolic link", [&] { fs::create_symlink(other, today); }},
      {"FIFO without a reader", [&] { ::mkfifo(today.c_str(), 0600); }},
      {"directory", [&] { fs::create_directory(today); }},
      {"hard link", [&] { fs::create_hard_link(other, today); }},
      {"group may write", plain(0620)},
      {"others may write", plain(0602)},
      // clang-format off
      {"another user's", [&] { plain(0600)(); ASSERT_EQ(::chown(today.c_str(), 65534, 65534), 0); }, false, true},
      // clang-format on
      {"folder is a file", [&] { setenv("SELVARN_SMS_LOG_DIR", other.c_str(), 1); }},
      {"readable by all", plain(0644), true},
      {"readable by no one", plain(0200), true},
  };
  std::string unplanted;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kind);
    if (c.root_only && ::geteuid() != 0) {
      unplanted += std::string(" ") + c.kind;
      continue;
    }
    std::ofstream(other) << "keep";
    ::chmod(other.c_str(), 0600);
    c.plant();
    if (c.written) {
      const auto mode = fs::symlink_status(today).permissions();
      WriteEntry("Message Part: secret");
      EXPECT_EQ(fs::symlink_status(today).permissions(), mode);
      fs::permissions(today, fs::perms::owner_read, fs::perm_options::add);
      EXPECT_EQ(Slurp(today),
                "x*** SELVARN SMS API version 6.1.0 log dated on 2015-07-05 09:03:07 ***\r\n"
                "Message Part: secret\r\n");
    } else {
      ExpectRefused(c.kind);
      for (const auto& file : fs::recursive_directory_iterator(dir_)) {
        EXPECT_TRUE(!file.is_regular_file() ||
                    Slurp(file.path()).find("secret") == std::string::npos)
            << file.path();
      }
    }
    EXPECT_EQ(Slurp(other), "keep");
    fs::remove_all(today);
    setenv("SELVARN_SMS_LOG_DIR", dir_.c_str(), 1);
  }
  if (!unplanted.empty()) GTEST_SKIP() << "not checked without root:" << unplanted;
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
}  // namespace selvarn::log
