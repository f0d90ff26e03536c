// Tells systemd how the service stands (sd_notify), when it runs under a unit of
// Type=notify; outside one, every call does nothing.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace selvarn::serve {

class SystemdNotifier {
 public:
  // Reads the watchdog's settings from the environment. NOTIFY_SOCKET stays there for
  // every later message; the commands the service runs inherit it, but systemd hears only
  // the main process (NotifyAccess=main).
  SystemdNotifier();

  void Ready(const std::string& status);
  void Reloading();
  void Stopping();
  void Status(const std::string& status);
  // How often to ping the watchdog: half its time-out; nullopt when it is not enabled.
  std::optional<std::chrono::milliseconds> WatchdogInterval() const { return watchdog_; }
  void Watchdog();

 private:
  std::optional<std::chrono::milliseconds> watchdog_;
};

}  // namespace selvarn::serve
