// The UUCP lock file by which serial programs on Linux (minicom, Gammu, ModemManager-style
// tools) tell each other a port is busy: "LCK..<device name>" in the lock folder, holding
// the holder's PID as ten characters and a newline (the HDB convention of the FHS). The
// lock folder is $SELVARN_SMS_LOCKS when set, else /var/lock.
#pragma once

#include <sys/types.h>

#include <string>

namespace selvarn::platform {

class PortLock {
 public:
  PortLock() = default;
  // Refuses with 8005 (a PortOpenError naming the holder) a device whose lock ("LCK.."
  // and the last part of the device's path) names a live process or cannot be read; takes over a
  // lock whose process is gone. Takes the lock where the folder lets us create files, and goes on
  // without one where it does not. device is the real path (links resolved); name says which port
  // in error texts.
  static PortLock Acquire(const std::string& device, const std::string& name);

  PortLock(PortLock&& other) noexcept;
  PortLock& operator=(PortLock&& other) noexcept;
  PortLock(const PortLock&) = delete;
  PortLock& operator=(const PortLock&) = delete;
  ~PortLock() { Release(); }

  // Removes the lock file, if this process made it and it still names this process.
  void Release() noexcept;

 private:
  std::string path_;
  pid_t owner_ = 0;
};

}  // namespace selvarn::platform
