// A private port folder for a test: comN links live in a fresh temporary folder that
// SELVARN_SMS_PORTS points to while the object lives, the ports' lock files in its
// "locks" folder (SELVARN_SMS_LOCKS), away from the machine's own /var/lock, and the
// diagnostics log in its "log" folder (SELVARN_SMS_LOG_DIR), away from the user's.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace selvarn::testing {

class PortFolder {
 public:
  PortFolder() {
    char tmpl[] = "/tmp/selvarn-ports-XXXXXX";
    const char* made = mkdtemp(tmpl);
    if (made == nullptr) throw std::system_error(errno, std::generic_category(), "mkdtemp");
    path_ = made;
    locks_ = path_ + "/locks";
    std::filesystem::create_directory(locks_);
    setenv("SELVARN_SMS_PORTS", path_.c_str(), 1);
    setenv("SELVARN_SMS_LOCKS", locks_.c_str(), 1);
    setenv("SELVARN_SMS_LOG_DIR", log().c_str(), 1);
  }
  ~PortFolder() {
    unsetenv("SELVARN_SMS_PORTS");
    unsetenv("SELVARN_SMS_LOCKS");
    unsetenv("SELVARN_SMS_LOG_DIR");
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  PortFolder(const PortFolder&) = delete;
  PortFolder& operator=(const PortFolder&) = delete;

  const std::string& path() const { return path_; }
  const std::string& locks() const { return locks_; }
  std::string log() const { return path_ + "/log"; }
  // Makes port n lead to target.
  void Link(int n, const std::string& target) const {
    const std::string link = path_ + "/com" + std::to_string(n);
    unlink(link.c_str());
    std::filesystem::create_symlink(target, link);
  }

 private:
  std::string path_;
  std::string locks_;
};

}  // namespace selvarn::testing
