#include "log/error_log.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/clock.hpp"
#include "platform/library_folder.hpp"
#include "selvarn/error.hpp"

namespace selvarn::Error {
namespace {

namespace fs = std::filesystem;

TEST(Mask, Keywords) {
  struct Case {
    const char* text;
    const char* masked;
  };
  const Case cases[] = {
      {"Hello, see you at six", "Hello, see you at six"},
      {"", ""},
      {"TOKEN", "TQ24>1EN"},
      {"at ok Ok", "at ok Ok"},
      {"CGATT", "CGQ24>0T"},  // AT goes first, so CGATT never matches whole
      {"\"SM\"", "Q24>26"},
      {"SM and \"SM\"", "SM and Q24>26"},
      {"\"ME\" ME", "Q24>27 ME"},
      {"AT+CMGS=", "Q24>0+Q24>19="},
      {"+CME ERROR: 10", "+Q24>3 Q24>2: 10"},
      {"OKOK", "Q24>1Q24>1"},
      {"\"STO UNSENT\" STO UNSENT", "Q24>23 STO UNSENT"},
      {"\"0007\"", "Q24>24"},
      {"Start STK-- STGI --End STK", "Q24>28 Q24>30 Q24>33"},
      {"Start MMS--MMSCURL--End MMS", "Q24>34Q24>36Q24>46"},
      {"CGREG FUPL MMSTRACE", "Q24>39 Q24>45 Q24>43"},
      {"Gr\xC3\xB6\xC3\x9F"
       "e OK \xE2\x82\xAC",
       "Gr\xC3\xB6\xC3\x9F"
       "e Q24>1 \xE2\x82\xAC"},
  };
  for (const Case& k : cases) EXPECT_EQ(Mask(k.text), k.masked) << k.text;
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
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
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
    fs::permissions(dir_, fs::perms::owner_all);
    fs::remove_all(dir_);
  }
  fs::path Today() const { return dir_ / "SELVARN SMS API Log_2015-7-5.txt"; }

  // WriteEntry must fail with 75, naming the file, and leave `path` as it was.
  void ExpectRefused(const fs::path& path) {
    try {
      WriteEntry("Message Part: secret");
      ADD_FAILURE() << "wrote through " << path;
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.number(), err::kPathFileAccess);
      EXPECT_NE(std::string(e.description()).find("SELVARN SMS API Log_2015-7-5.txt"),
                std::string::npos)
          << e.description();
    }
  }

  fs::path dir_;
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
  EXPECT_EQ(Slurp(Today()),
            "*** SELVARN SMS API version 6.1.0 log dated on 2015-07-05 09:03:07 ***\r\n"
            "Message Part: Hello\r\n"
            "*** SELVARN SMS API version 6.1.0 log dated on 2015-07-05 21:30:59 ***\r\n"
            "Message Part: send Q24>0+Q24>19= Q24>1\r\n");
}

TEST_F(LogFile, CreatedOwnerOnlyWhateverTheUmask) {
  for (const mode_t mask : {mode_t{0000}, mode_t{0022}, mode_t{0277}}) {
    fs::remove(Today());
    const mode_t old = ::umask(mask);
    WriteEntry("a");
    WriteEntry("b");  // a narrowing umask must not lock the next entry out
    ::umask(old);
    struct stat st {};
    ASSERT_EQ(::stat(Today().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "umask " << std::oct << mask;
  }
}

TEST_F(LogFile, ExistingFileKeepsItsMode) {
  std::ofstream(Today()) << "old\r\n";
  ASSERT_EQ(::chmod(Today().c_str(), 0640), 0);
  WriteEntry("new");
  struct stat st {};
  ASSERT_EQ(::stat(Today().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(Slurp(Today()).rfind("old\r\n*** SELVARN", 0), 0u);
}

TEST_F(LogFile, RefusesWhatIsPlantedAtItsName) {
  const fs::path target = dir_ / "target.txt";
  std::ofstream(target) << "keep";
  fs::create_symlink(target, Today());
  ExpectRefused(Today());
  EXPECT_EQ(Slurp(target), "keep");

  fs::remove(Today());
  fs::create_symlink(dir_ / "absent.txt", Today());  // dangling: must not be created
  ExpectRefused(Today());
  EXPECT_FALSE(fs::exists(dir_ / "absent.txt"));

  fs::remove(Today());
  ASSERT_EQ(::mkfifo(Today().c_str(), 0600), 0);  // no reader: must not block
  ExpectRefused(Today());

  fs::remove(Today());
  fs::create_directory(Today());
  ExpectRefused(Today());
}

TEST_F(LogFile, UnwritableFolderIsPathFileAccessError) {
  struct Case {
    const char* name;
    fs::path folder;
  };
  std::ofstream(dir_ / "plain") << "x";
  std::vector<Case> cases = {
      {"missing", dir_ / "missing"},
      {"not_a_folder", dir_ / "plain"},
  };
  // Permission bits do not stop root.
  if (::geteuid() != 0) {
    fs::create_directory(dir_ / "readonly");
    fs::permissions(dir_ / "readonly", fs::perms::owner_read | fs::perms::owner_exec);
    cases.push_back({"read_only", dir_ / "readonly"});
  }
  for (const Case& k : cases) {
    platform::SetLibraryFolderOverride(k.folder.string());
    SCOPED_TRACE(k.name);
    ExpectRefused(k.folder);
  }
  if (::geteuid() != 0) fs::permissions(dir_ / "readonly", fs::perms::owner_all);
}

}  // namespace
}  // namespace selvarn::Error
