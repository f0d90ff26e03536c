// Where port numbers lead: port N is the entry comN (a link to the device, as Wine names
// COM ports) of the port folder, else /dev/ttyS<N-1>. Header-only, so the modem
// simulator, which links itself into the same folder, follows the same rule.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <string>

namespace selvarn::platform {

// $SELVARN_SMS_PORTS, else $XDG_CONFIG_HOME/selvarn-sms/ports, else
// ~/.config/selvarn-sms/ports.
inline std::string PortFolder() {
  if (const char* p = std::getenv("SELVARN_SMS_PORTS"); p != nullptr && *p != '\0') return p;
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x != nullptr && *x != '\0') {
    return std::string(x) + "/selvarn-sms/ports";
  }
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.config/selvarn-sms/ports";
}

inline std::string PortEntryName(int port) { return "com" + std::to_string(port); }

inline std::string PortDevicePath(int port) {
  std::string entry = PortFolder() + "/" + PortEntryName(port);
  struct stat st {};
  if (lstat(entry.c_str(), &st) == 0) return entry;
  return "/dev/ttyS" + std::to_string(port - 1);
}

}  // namespace selvarn::platform
