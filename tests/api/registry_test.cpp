// The class registry file: records written, found in any case, replaced and removed; a
// file that is not a registry is reported and left as it is.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "api/registry.hpp"
#include "support/errors.hpp"

namespace selvarn::api {
namespace {

namespace fs = std::filesystem;
using testing::ErrorNumberOf;

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/selvarn-registry-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    path = dir + "/selvarn-sms/registry.json";
  }
  void TearDown() override { fs::remove_all(dir); }
  std::string Contents() const {
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
  }

  std::string dir, path;
  ClassRecord sms{"SelvarnSMSAPI6.SMS", kClsid, "/opt/a/libselvarnsms.so.6", "6.01", kLibId, "1.0"};
  ClassRecord other{"Other.Thing", kIid, "/opt/b/libother.so", "1.00", kClsid, "2.3"};
};

TEST_F(Registry, RecordsAreWrittenFoundReplacedAndRemoved) {
  EXPECT_FALSE(FindRecord(path, sms.prog_id)) << "no file yet";
  EXPECT_FALSE(RemoveRecord(path, sms.prog_id));
  WriteRecord(path, other);
  WriteRecord(path, sms);
  EXPECT_EQ(FindRecord(path, "selvarnsmsapi6.sms"), sms);
  EXPECT_EQ(FindRecord(path, "Other.Thing"), other);
  // The layout other readers (the Python module) rely on.
  EXPECT_EQ(nlohmann::json::parse(Contents()).at("SelvarnSMSAPI6.SMS"),
            nlohmann::json({{"clsid", "{A0211C17-ECB8-4BF2-8EAD-F8885F095CAD}"},
                            {"library", "/opt/a/libselvarnsms.so.6"},
                            {"version", "6.01"},
                            {"typelib", "{7420A61C-2E6C-44F7-9A2F-98300DC62B10}"},
                            {"typelib_version", "1.0"}}));

  ClassRecord moved = sms;
  moved.prog_id = "SELVARNSMSAPI6.SMS";
  moved.library = "/usr/lib/libselvarnsms.so.6";
  WriteRecord(path, moved);
  EXPECT_EQ(FindRecord(path, sms.prog_id), moved);
  EXPECT_EQ(nlohmann::json::parse(Contents()).size(), 2U) << "replaced, not added";

  EXPECT_TRUE(RemoveRecord(path, "selvarnSMSapi6.sms"));
  EXPECT_FALSE(FindRecord(path, sms.prog_id));
  EXPECT_EQ(FindRecord(path, other.prog_id), other);
  std::set<std::string> files;
  for (const auto& e : fs::directory_iterator(fs::path(path).parent_path()))
    files.insert(e.path().filename());
  EXPECT_EQ(files, (std::set<std::string>{"registry.json", "registry.json.lock"}))
      << "no temporary file left behind";
}

TEST_F(Registry, AFileThatIsNoRegistryIsReportedAndKept) {
  struct Case {
    const char* contents;
    bool unreadable;  // false: only the record is bad
  } cases[] = {
      {"{ \"SelvarnSMSAPI6.SMS\": ", true},
      {"[]", true},
      {"{\"SelvarnSMSAPI6.SMS\": 5}", false},
      {"{\"SelvarnSMSAPI6.SMS\": {\"clsid\": \"{A0211C17}\", \"library\": \"/x\", \"version\": "
       "\"6.01\", \"typelib\": \"{7420A61C-2E6C-44F7-9A2F-98300DC62B10}\", \"typelib_version\": "
       "\"1.0\"}}",
       false},
      {"{\"selvarnsmsapi6.sms\": {\"clsid\": \"{A0211C17-ECB8-4BF2-8EAD-F8885F095CAD}\"}}", false},
  };
  fs::create_directories(fs::path(path).parent_path());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.contents);
    std::ofstream(path, std::ios::binary) << c.contents;
    EXPECT_EQ(ErrorNumberOf([&] { FindRecord(path, sms.prog_id); }), err::kPathFileAccess);
    if (c.unreadable) {
      EXPECT_EQ(ErrorNumberOf([&] { WriteRecord(path, sms); }), err::kPathFileAccess);
      EXPECT_EQ(ErrorNumberOf([&] { RemoveRecord(path, sms.prog_id); }), err::kPathFileAccess);
      EXPECT_EQ(Contents(), c.contents);
    }
  }
}

TEST(RegistryPath, UnderTheUsersConfigurationFolder) {
  const char* xdg = getenv("XDG_CONFIG_HOME");
  const std::string saved = xdg != nullptr ? xdg : "";
  setenv("XDG_CONFIG_HOME", "/cfg", 1);
  EXPECT_EQ(RegistryPath(), "/cfg/selvarn-sms/registry.json");
  setenv("XDG_CONFIG_HOME", "", 1);
  EXPECT_EQ(RegistryPath(), std::string(getenv("HOME")) + "/.config/selvarn-sms/registry.json");
  if (xdg != nullptr) {
    setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
  } else {
    unsetenv("XDG_CONFIG_HOME");
  }
}

}  // namespace
}  // namespace selvarn::api
