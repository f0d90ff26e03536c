#include "systemd_notify.hpp"

#include <systemd/sd-daemon.h>
#include <time.h>

#include <algorithm>
#include <cstdint>

namespace selvarn::serve {
namespace {

// A status is one line of the message.
std::string OneLine(std::string s) {
  for (char& c : s) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return s;
}

}  // namespace

SystemdNotifier::SystemdNotifier() {
  std::uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
    watchdog_ = std::chrono::milliseconds(std::max<std::uint64_t>(usec / 2000, 1));
  }
}

void SystemdNotifier::Ready(const std::string& status) {
  sd_notify(0, ("READY=1\nSTATUS=" + OneLine(status)).c_str());
}

void SystemdNotifier::Reloading() {
  // The time lets a newer systemd tell this reload from a later one.
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const auto usec = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 +
                    static_cast<std::uint64_t>(now.tv_nsec) / 1000;
  sd_notify(0, ("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec) +
                "\nSTATUS=reloading the configuration")
                   .c_str());
}

void SystemdNotifier::Stopping() {
  sd_notify(0, "STOPPING=1\nSTATUS=stopping: finishing the parts in flight");
}

void SystemdNotifier::Status(const std::string& status) {
  sd_notify(0, ("STATUS=" + OneLine(status)).c_str());
}

void SystemdNotifier::Watchdog() {
  if (watchdog_) sd_notify(0, "WATCHDOG=1");
}

}  // namespace selvarn::serve
