// Where a port number leads, how to open a device by its path instead, and the bytes that
// pass on the calling thread's port, for programs that show the modem's conversation.
//
//   selvarn::UseDevice device("/dev/ttyUSB2");   // this thread's start-ups open it
//   selvarn::SMS sms;
//   sms.InitModem(1, "");
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "selvarn/export.hpp"

namespace selvarn {

// The folder whose entries comN name the device of port N: $SELVARN_SMS_PORTS, else
// $XDG_CONFIG_HOME/selvarn-sms/ports, else ~/.config/selvarn-sms/ports.
SELVARN_API std::string PortFolder();
// The entry of port N in it ("com3").
SELVARN_API std::string PortEntryName(int port);
// The device port N opens: its entry when there is one, else /dev/ttyS<N-1>.
SELVARN_API std::string PortDevicePath(int port);

// While it lives, the calling thread's start-ups (SMS::InitModem) open `path` whatever
// port number they are given; an empty path changes nothing.
class SELVARN_API UseDevice {
 public:
  explicit UseDevice(std::string path);
  ~UseDevice();
  UseDevice(const UseDevice&) = delete;
  UseDevice& operator=(const UseDevice&) = delete;

 private:
  std::shared_ptr<void> choice_;
};

// Sees every byte written to (`written`) or read from the calling thread's port until
// replaced; an empty function stops it.
SELVARN_API void WatchSerial(std::function<void(bool written, std::string_view bytes)> seen);

// Throws RuntimeError 8010 when the calling thread's modem went away (a call that traps
// errors answered false for it).
SELVARN_API void ThrowIfModemGone();

}  // namespace selvarn
