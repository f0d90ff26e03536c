// The class registry file: records written, found in any case, replaced and removed; a
// file that is not a registry is reported and left as it is.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>

#include <gtest/gtest.h>

#include "api/registry.hpp"
#include "support/errors.hpp"
#include "support/files.hpp"

namespace selvarn::api {
namespace {

namespace fs = std::filesystem;
using testing::ErrorNumberOf;

class Registry : public ::testing::Test {
 protected:
  testing::TempDir dir;
  std::string path = dir.path + "/selvarn-sms/registry.json";
  ClassRecord sms{"SelvarnSMSAPI6.SMS", kClsid, "/opt/a/libselvarnsms.so.6", "6.01", kLibId, "1.0"};
  ClassRecord other{"Other.Thing", kIid, "/opt/b/libother.so", "1.00", kClsid, "2.3"};
};

TEST_F(Registry, RecordsAreWrittenFoundReplacedAndRemoved) {
  setenv("XDG_CONFIG_HOME", "", 1);  // empty counts as unset: the default under $HOME
  EXPECT_EQ(RegistryPath(), std::string(getenv("HOME")) + "/.config/selvarn-sms/registry.json");
  EXPECT_FALSE(FindRecord(path, sms.prog_id)) << "no file yet";
  EXPECT_FALSE(RemoveRecord(path, sms.prog_id));
  WriteRecord(path, other);
  WriteRecord(path, sms);
  EXPECT_EQ(FindRecord(path, "selvarnsmsapi6.sms"), sms);
  const ClassRecord moved{
      "SELVARNSMSAPI6.SMS", kClsid, "/usr/lib/libsms.so", "6.01", kLibId, "1.0"};
  WriteRecord(path, moved);
  EXPECT_EQ(FindRecord(path, sms.prog_id), moved);
  EXPECT_EQ(nlohmann::json::parse(testing::Slurp(path)).size(), 2U) << "replaced, not added";
  EXPECT_TRUE(RemoveRecord(path, "selvarnSMSapi6.sms"));
  EXPECT_FALSE(FindRecord(path, sms.prog_id));
  EXPECT_EQ(FindRecord(path, other.prog_id), other);
  const fs::directory_iterator files(fs::path(path).parent_path());
  EXPECT_EQ(std::distance(files, {}), 2) << "the file and its lock, no temporary file left";
}

TEST_F(Registry, AFileThatIsNoRegistryIsReportedAndKept) {
  struct Case {
    std::string contents;
    bool unreadable;  // false: only the record is bad
  } cases[] = {
      {R"({ "SelvarnSMSAPI6.SMS": )", true},
      {"[]", true},
      {R"({"SelvarnSMSAPI6.SMS": 5})", false},
      {R"({"SelvarnSMSAPI6.SMS": {"clsid": "{A0211C17}", "library": "/x", "version": "6.01", )"
       R"("typelib": "{7420A61C-2E6C-44F7-9A2F-98300DC62B10}", "typelib_version": "1.0"}})",
       false},
      {R"({"selvarnsmsapi6.sms": {"clsid": "{A0211C17-ECB8-4BF2-8EAD-F8885F095CAD}"}})", false},
  };
  fs::create_directories(fs::path(path).parent_path());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.contents);
    std::ofstream(path, std::ios::binary) << c.contents;
    EXPECT_EQ(ErrorNumberOf([&] { FindRecord(path, sms.prog_id); }), err::kPathFileAccess);
    if (c.unreadable) {
      EXPECT_EQ(ErrorNumberOf([&] { WriteRecord(path, sms); }), err::kPathFileAccess);
      EXPECT_EQ(ErrorNumberOf([&] { RemoveRecord(path, sms.prog_id); }), err::kPathFileAccess);
      EXPECT_EQ(testing::Slurp(path), c.contents);
    }
  }
}

}  // namespace
}  // namespace selvarn::api
