// Every test of this program keeps its messages in a private folder, never in the user's
// own store: XDG_DATA_HOME points there for the whole run (and for the programs it starts),
// and each command line run in-process gets a store of its own.
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

namespace {

class PrivateDataHome : public ::testing::Environment {
 public:
  void SetUp() override {
    char tmpl[] = "/tmp/selvarn-cli-data-XXXXXX";
    if (mkdtemp(tmpl) != nullptr) path_ = tmpl;
    setenv("XDG_DATA_HOME", path_.c_str(), 1);
  }
  const std::string& path() const { return path_; }
  void TearDown() override {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }

 private:
  std::string path_ = "/nonexistent";
};

int runs = 0;
PrivateDataHome* home = nullptr;
const auto* const kDataHome = ::testing::AddGlobalTestEnvironment(home = new PrivateDataHome);

}  // namespace

namespace selvarn::testing {

void FreshDataHome() {
  if (home == nullptr) return;
  const std::string fresh = home->path() + "/" + std::to_string(++runs);
  std::error_code ec;
  std::filesystem::create_directories(fresh, ec);
  setenv("XDG_DATA_HOME", fresh.c_str(), 1);
}

}  // namespace selvarn::testing
