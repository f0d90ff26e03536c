#include "platform/process_tag.hpp"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace selvarn::platform {

namespace {

std::string FirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string Host() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

// Field 22 of /proc/<pid>/stat, the start in clock ticks since boot; the name in field 2
// may hold blanks and parentheses, so the count starts after its last ')'.
std::string StartOf(const std::string& pid) {
  const std::string stat = FirstLine("/proc/" + pid + "/stat");
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return {};
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  for (int k = 3; k <= 22 && fields >> field; ++k) {
    if (k == 22) return field;
  }
  return {};
}

}  // namespace

std::string ProcessTag() {
  const std::string pid = std::to_string(getpid());
  const std::string host = Host();
  const std::string boot = FirstLine("/proc/sys/kernel/random/boot_id");
  const std::string start = StartOf(pid);
  if (host.empty() || boot.empty() || start.empty()) return {};
  return host + " " + boot + " " + pid + " " + start;
}

Running ProcessRunning(const std::string& tag) {
  std::istringstream words(tag);
  std::string host, boot, pid, start;
  if (!(words >> host >> boot >> pid >> start) || host.find(' ') != std::string::npos) {
    return Running::Unknown;
  }
  if (host != Host()) return Running::Unknown;
  if (boot != FirstLine("/proc/sys/kernel/random/boot_id")) return Running::No;
  return StartOf(pid) == start ? Running::Yes : Running::No;
}

}  // namespace selvarn::platform
