// Why a port would not open, beyond its error number, so that the start-up can tell the
// user what to do about it.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>

#include "selvarn/error.hpp"

namespace selvarn::platform {

enum class OpenFailure {
  kOther,       // a system call failed
  kNoDevice,    // the port leads to nothing
  kNotSerial,   // the device is no terminal
  kPermission,  // the user may not open it
  kOpenHere,    // this process holds it already
  kBusy,        // another process holds it; holder() names it when known
  kExclusive,   // the exclusive flag refuses the open and no holder is in sight
};

// The description names the port ("port 1 (/dev/ttyUSB0) is in use ..."); detail says
// the same of whatever the caller calls it ("in use ...").
class PortOpenError : public RuntimeError {
 public:
  PortOpenError(int number, const std::string& description, std::string detail, OpenFailure why,
                pid_t holder = 0)
      : RuntimeError(number, description), detail_(std::move(detail)), why_(why), holder_(holder) {}
  const std::string& detail() const noexcept { return detail_; }
  OpenFailure why() const noexcept { return why_; }
  pid_t holder() const noexcept { return holder_; }

 private:
  std::string detail_;
  OpenFailure why_;
  pid_t holder_;
};

// "<name> is <detail>", the usual shape.
[[noreturn]] inline void RefuseOpen(int number, const std::string& name, const std::string& detail,
                                    OpenFailure why, pid_t holder = 0) {
  throw PortOpenError(number, name + " is " + detail, detail, why, holder);
}

}  // namespace selvarn::platform
