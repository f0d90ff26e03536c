#include "platform/mscomm.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/line_speed.hpp"
#include "platform/port_folder.hpp"
#include "platform/system_calls.hpp"
#include "platform/thread_state.hpp"
#include "selvarn/error.hpp"
#include "text/trim.hpp"

namespace selvarn::platform {
namespace {

// Longest a write may go without progress before the port counts as dead: a serial line
// without flow control drains a command line in milliseconds.
constexpr std::int64_t kWriteStallMs = 5000;
// One Input call takes at most this much, so a device that never stops sending cannot
// keep the caller in a read loop.
constexpr std::size_t kMaxInput = 16384;

[[noreturn]] void Fail(int number, const std::string& what) { throw RuntimeError(number, what); }

std::string SystemError(int e) { return std::strerror(e); }

[[noreturn]] void BadSettings(std::string_view text, const char* why) {
  Fail(err::kInvalidPropertyValue,
       "Invalid property value: settings \"" + std::string(text) + "\": " + why);
}

[[noreturn]] void CannotOpen(const std::string& name, int e) {
  if (e == EBUSY) Fail(err::kPortAlreadyOpen, name + " is in use by another program");
  Fail(err::kHardwareNotAvailable, "Cannot open " + name + ": " + SystemError(e));
}

// The device behind the comN link: the lock file is named after it, and opening it
// rather than the link means both name the same device.
std::string RealDevice(const std::string& path, const std::string& name) {
  char real[PATH_MAX];
  if (::realpath(path.c_str(), real) == nullptr) CannotOpen(name, errno);
  return real;
}

UniqueFd OpenDevice(const std::string& device, const std::string& name) {
  // O_NONBLOCK: no wait for a carrier, and reads never wait. O_CLOEXEC: a program this
  // one starts must not inherit the modem.
  UniqueFd fd(OpenRetrying(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) CannotOpen(name, errno);
  if (!isatty(fd.get())) Fail(err::kHardwareNotAvailable, name + " is not a serial device");
  return fd;
}

// Each neighbour is kept out in the way it understands: the advisory lock stops other
// openers through this library, in this process and in others; TIOCGEXCL shows a
// program that holds the port exclusively, which a privileged open would otherwise
// ignore; TIOCEXCL keeps out unprivileged programs that lock nothing.
void TakeExclusively(int fd, const std::string& name) {
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int e = errno;
    if (e == EWOULDBLOCK) Fail(err::kPortAlreadyOpen, name + " is already open");
    Fail(err::kHardwareNotAvailable, "Cannot lock " + name + ": " + SystemError(e));
  }
  int exclusive = 0;
  if (Sys().Ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
    Fail(err::kPortAlreadyOpen, name + " is held exclusively by another program");
  }
  Sys().Ioctl(fd, TIOCEXCL, nullptr);
}

}  // namespace

LineSettings ParseSettings(std::string_view text) {
  std::array<std::string_view, 4> field;
  std::size_t n = 0;
  std::string_view rest = text;
  while (true) {
    const auto comma = rest.find(',');
    if (n == field.size()) BadSettings(text, "expected speed,parity,data bits,stop bits");
    field[n++] = rest.substr(0, comma);
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  if (n != field.size()) BadSettings(text, "expected speed,parity,data bits,stop bits");
  for (auto& f : field) f = text::TrimSpaces(f);
  LineSettings s;
  s.speed = 0;
  for (const char c : field[0]) {
    if (c < '0' || c > '9' || s.speed > 10'000'000) BadSettings(text, "speed is not a number");
    s.speed = s.speed * 10 + (c - '0');
  }
  if (!SpeedCode(s.speed)) BadSettings(text, "unsupported speed");
  if (field[1].size() != 1) BadSettings(text, "parity must be one of N, E, O, M, S");
  s.parity = static_cast<char>(field[1][0] & ~0x20);  // upper case
  if (std::string_view("NEOMS").find(s.parity) == std::string_view::npos) {
    BadSettings(text, "parity must be one of N, E, O, M, S");
  }
  if (field[2].size() != 1 || field[2][0] < '5' || field[2][0] > '8') {
    BadSettings(text, "data bits must be 5 to 8");
  }
  s.data_bits = field[2][0] - '0';
  if (field[3] == "1") {
    s.stop_bits = 1;
  } else if (field[3] == "2" || field[3] == "1.5") {
    s.stop_bits = 2;
  } else {
    BadSettings(text, "stop bits must be 1, 1.5 or 2");
  }
  return s;
}

MSComm::~MSComm() { Close(); }

void MSComm::CommPort(std::int16_t port) {
  if (port < 1) Fail(err::kInvalidPortNumber, "Invalid port number " + std::to_string(port));
  if (PortOpen()) Fail(err::kPortAlreadyOpen, "Port already open");
  port_ = port;
}

void MSComm::Settings(std::string settings) {
  const LineSettings parsed = ParseSettings(settings);
  if (PortOpen()) Apply(parsed);
  settings_ = std::move(settings);
}

void MSComm::Apply(const LineSettings& s) {
  termios tio{};
  if (tcgetattr(fd_.get(), &tio) != 0) {
    Fail(err::kHardwareNotAvailable, "Cannot read the line settings: " + SystemError(errno));
  }
  cfmakeraw(&tio);
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  tio.c_cflag |= CLOCAL | CREAD;
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  tio.c_cflag |= kSizes[s.data_bits - 5];
  switch (s.parity) {
    case 'E':
      tio.c_cflag |= PARENB;
      break;
    case 'O':
      tio.c_cflag |= PARENB | PARODD;
      break;
    case 'M':
      tio.c_cflag |= PARENB | PARODD | CMSPAR;
      break;
    case 'S':
      tio.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  if (s.stop_bits == 2) tio.c_cflag |= CSTOPB;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  const speed_t code = SpeedCode(s.speed).value_or(B9600);
  cfsetispeed(&tio, code);
  cfsetospeed(&tio, code);
  if (tcsetattr(fd_.get(), TCSANOW, &tio) != 0) {
    Fail(err::kHardwareNotAvailable, "Cannot set the line settings: " + SystemError(errno));
  }
}

void MSComm::PortOpen(bool open) {
  if (!open) {
    Close();
    return;
  }
  if (PortOpen()) Fail(err::kPortAlreadyOpen, "Port already open");
  const LineSettings settings = ParseSettings(settings_);
  const std::string path = PortDevicePath(port_);
  const std::string name = "port " + std::to_string(port_) + " (" + path + ")";
  const std::string device = RealDevice(path, name);
  // The lock comes first, as other serial programs take it: whoever holds it owns the
  // device, opened or not yet.
  PortLock lock = PortLock::Acquire(device, name);
  UniqueFd fd = OpenDevice(device, name);
  TakeExclusively(fd.get(), name);
  fd_ = std::move(fd);
  lock_ = std::move(lock);
  opener_ = ::getpid();
  hung_up_ = false;
  try {
    Apply(settings);
  } catch (...) {
    Close();
    throw;
  }
  // What a previous user of the port left unread is not part of this conversation.
  tcflush(fd_.get(), TCIOFLUSH);
}

void MSComm::Close() {
  if (!fd_) return;
  // A child forked while the port was open holds copies of it; only the opener gives
  // the port up.
  if (opener_ == ::getpid()) Sys().Ioctl(fd_.get(), TIOCNXCL, nullptr);
  fd_.reset();  // also releases the advisory lock
  lock_.Release();
}

void MSComm::WriteFailed(const std::string& why) {
  hung_up_ = true;
  Fail(err::kHardwareNotAvailable, "Cannot write to port " + std::to_string(port_) + ": " + why);
}

void MSComm::Output(std::string_view bytes) {
  if (!PortOpen()) Fail(err::kDeviceNotOpen, "Port not open");
  if (hung_up_)
    Fail(err::kHardwareNotAvailable, "The device of port " + std::to_string(port_) + " is gone");
  if (const auto& trace = CurrentThread().seams.serial_trace) trace(true, bytes);
  SystemCalls& sys = Sys();
  std::int64_t stalled_since = -1;  // when the device last stopped taking bytes
  while (!bytes.empty()) {
    const ssize_t n = sys.Write(fd_.get(), bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      stalled_since = -1;
      continue;
    }
    const int e = n < 0 ? errno : EAGAIN;
    if (e == EINTR) continue;
    if (e != EAGAIN) WriteFailed(SystemError(e));
    const std::int64_t now = sys.MonotonicMs();
    if (stalled_since < 0) stalled_since = now;
    const std::int64_t left = kWriteStallMs - (now - stalled_since);
    if (left <= 0) WriteFailed("the device does not take data");
    // A signal may end the wait early: the clock, not the number of waits, decides
    // when the device counts as stalled.
    pollfd p{fd_.get(), POLLOUT, 0};
    const int ready = sys.Poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno != EINTR) WriteFailed(SystemError(errno));
    if (ready > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      WriteFailed("the device is gone");
    }
  }
}

std::string MSComm::Input() {
  if (!PortOpen()) Fail(err::kDeviceNotOpen, "Port not open");
  std::string out;
  if (hung_up_) return out;
  SystemCalls& sys = Sys();
  char buf[4096];
  while (out.size() < kMaxInput) {
    const ssize_t n = sys.Read(fd_.get(), buf, std::min(sizeof buf, kMaxInput - out.size()));
    if (n > 0) {
      out.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) hung_up_ = true;  // EIO: the device went away
    break;
  }
  // A raw tty answers "nothing" both when idle and after a hang-up; only poll tells.
  if (!hung_up_) {
    pollfd p{fd_.get(), POLLIN, 0};
    int ready = 0;
    do {
      ready = sys.Poll(&p, 1, 0);
    } while (ready < 0 && errno == EINTR);
    if (ready > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) hung_up_ = true;
  }
  if (const auto& trace = CurrentThread().seams.serial_trace; trace && !out.empty()) {
    trace(false, out);
  }
  return out;
}

}  // namespace selvarn::platform
