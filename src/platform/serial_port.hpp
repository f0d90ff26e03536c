// The serial-port control: port number, line settings, open state, write, and a read
// that never waits. POSIX termios underneath: raw 8-bit, no echo, no flow control.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "platform/port_lock.hpp"
#include "platform/unique_fd.hpp"

namespace selvarn::platform {

// Line parameters parsed from a text such as "115200,N,8,1".
struct LineSettings {
  int speed = 9600;
  char parity = 'N';  // N, E, O, M (mark) or S (space)
  int data_bits = 8;
  int stop_bits = 1;  // 1 or 2; "1.5" is kept as 2 (termios has no 1.5)
};
// Throws RuntimeError 380 for a malformed text or an unsupported value.
LineSettings ParseSettings(std::string_view text);

class SerialPort {
 public:
  SerialPort() = default;
  ~SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  std::int16_t CommPort() const { return port_; }
  // 8002 for a number below 1; 8005 while the port is open.
  void CommPort(std::int16_t port);

  // A device path that stands in for the port number's device ("/dev/ttyUSB2") at the
  // next open; empty: the port number decides.
  const std::string& DevicePath() const { return device_path_; }
  void DevicePath(std::string path) { device_path_ = std::move(path); }
  // How errors name the port: "port 3", or the device path it was opened by.
  std::string Name() const;

  const std::string& Settings() const { return settings_; }
  // 380 for a malformed text; takes effect at once when the port is open.
  void Settings(std::string settings);

  bool PortOpen() const { return static_cast<bool>(fd_); }
  // Opening: 8005 when already open here or in use elsewhere (another opener through
  // this library, a program holding the port exclusively, a live UUCP lock), 8010 when
  // the device is missing or is not a serial port; either as a PortOpenError that says
  // which. While open, the port is held exclusively and, where the lock folder is
  // writable, locked for other programs. An exclusive flag that no process stands
  // behind is taken over (see OpenNotice). Closing a closed port does nothing.
  void PortOpen(bool open);

  // The device the last open was for, links resolved as far as they lead.
  const std::string& Device() const { return device_; }
  // What the last open did that the user should hear of (a port taken over); often empty.
  const std::string& OpenNotice() const { return notice_; }

  // Writes every byte. 8012 on a closed port; 8010 when the device is gone or takes no
  // byte for 5 s.
  void Output(std::string_view bytes);
  // Everything received since the last call, possibly empty; never waits. 8012 on a
  // closed port. After the device went away (EIO, a hang-up) it hands over what came
  // before, then throws 8010, so that no wait outlasts the device.
  std::string Input();
  // Whether the open port's device went away, and the error that says so (8010).
  bool HungUp() const { return PortOpen() && hung_up_; }
  // The open port's descriptor, for a wait on it beside others (poll); -1 when closed.
  // Reading stays Input's.
  int Descriptor() const { return fd_.get(); }
  void ThrowIfGone() const;

 private:
  void Apply(const LineSettings& s);
  void Close();
  [[noreturn]] void WriteFailed(const std::string& why);

  UniqueFd fd_;
  PortLock lock_;
  pid_t opener_ = 0;  // the process that opened the port
  std::int16_t port_ = 1;
  std::string device_path_;
  std::string opened_by_;  // the device path of the open port's open; empty: its number
  std::string settings_ = "9600,N,8,1";
  std::string device_;
  std::string notice_;
  bool hung_up_ = false;
};

}  // namespace selvarn::platform
