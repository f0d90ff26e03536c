#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>
#include <vector>

#include "log/log.hpp"
#include "selvarn/error.hpp"

namespace selvarn::log {
namespace {

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return {};
}

}  // namespace

std::string LogFolder() {
  if (const char* dir = std::getenv("SELVARN_SMS_LOG_DIR"); dir != nullptr && *dir != '\0') {
    return dir;
  }
  // XDG asks that a relative XDG_STATE_HOME be ignored.
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && state[0] == '/') {
    return std::string(state) + "/selvarn-sms";
  }
  const std::string home = HomeFolder();
  if (home.empty()) {
    throw RuntimeError(err::kPathFileAccess,
                       "Path/File access error: no folder for the log (no home folder); "
                       "set SELVARN_SMS_LOG_DIR");
  }
  return home + "/.local/state/selvarn-sms";
}

}  // namespace selvarn::log
