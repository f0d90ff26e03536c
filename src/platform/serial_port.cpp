#include "platform/serial_port.hpp"

#include <dirent.h>
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
#include <memory>
#include <optional>
#include <utility>

#include "platform/line_speed.hpp"
#include "platform/port_error.hpp"
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

// A process other than this one that has the character device rdev open, found through
// /proc; processes this user may not look into go unseen.
std::optional<pid_t> OtherOpener(dev_t rdev) {
  const std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
  if (!proc) return std::nullopt;
  const pid_t self = ::getpid();
  while (const dirent* p = ::readdir(proc.get())) {
    const pid_t pid = static_cast<pid_t>(std::strtol(p->d_name, nullptr, 10));
    if (pid <= 0 || pid == self) continue;
    const std::string folder = std::string("/proc/") + p->d_name + "/fd";
    const std::unique_ptr<DIR, int (*)(DIR*)> fds(::opendir(folder.c_str()), ::closedir);
    if (!fds) continue;
    while (const dirent* f = ::readdir(fds.get())) {
      struct stat st {};
      if (f->d_name[0] != '.' && ::stat((folder + "/" + f->d_name).c_str(), &st) == 0 &&
          S_ISCHR(st.st_mode) && st.st_rdev == rdev) {
        return pid;
      }
    }
  }
  return std::nullopt;
}

// The exclusive flag keeps the device: held by `holder` when one can be seen.
[[noreturn]] void HeldExclusively(std::optional<pid_t> holder, const std::string& name) {
  if (holder) {
    RefuseOpen(err::kPortAlreadyOpen, name,
               "held exclusively by process " + std::to_string(*holder), OpenFailure::kBusy,
               *holder);
  }
  RefuseOpen(err::kPortAlreadyOpen, name,
             "held exclusively (TIOCEXCL) by a program this user cannot see, or the flag was "
             "left by a program that was killed: only root can open it or clear the flag",
             OpenFailure::kExclusive);
}

[[noreturn]] void CannotOpen(const std::string& device, const std::string& name, int e) {
  if (e == EBUSY) {
    // A terminal refuses an unprivileged open with EBUSY only for its exclusive flag.
    struct stat st {};
    HeldExclusively(::stat(device.c_str(), &st) == 0 ? OtherOpener(st.st_rdev) : std::nullopt,
                    name);
  }
  std::string detail = SystemError(e);
  OpenFailure why = OpenFailure::kOther;
  switch (e) {
    case ENOENT:
    case ENOTDIR:
    case ENXIO:
    case ENODEV:
      why = OpenFailure::kNoDevice;
      break;
    case EACCES:
    case EPERM:
      why = OpenFailure::kPermission;
      detail +=
          ": add yourself to the group that owns it, usually dialout (sudo usermod -aG "
          "dialout $USER), then log in again";
      break;
    default:
      break;
  }
  throw PortOpenError(err::kHardwareNotAvailable, "Cannot open " + name + ": " + detail,
                      "cannot open it: " + detail, why);
}

// The device behind the comN link: the lock file is named after it, and opening it
// rather than the link means both name the same device.
std::string RealDevice(const std::string& path, const std::string& name) {
  char real[PATH_MAX];
  if (::realpath(path.c_str(), real) == nullptr) CannotOpen(path, name, errno);
  return real;
}

UniqueFd OpenDevice(const std::string& device, const std::string& name) {
  // O_NONBLOCK: no wait for a carrier, and reads never wait. O_CLOEXEC: a program this
  // one starts must not inherit the modem.
  UniqueFd fd(OpenRetrying(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) CannotOpen(device, name, errno);
  if (!isatty(fd.get())) {
    RefuseOpen(err::kHardwareNotAvailable, name, "not a serial device", OpenFailure::kNotSerial);
  }
  return fd;
}

// Each neighbour is kept out in the way it understands: the advisory lock stops other
// openers through this library, in this process and in others; TIOCGEXCL shows a
// program that holds the port exclusively, which a privileged open would otherwise
// ignore; TIOCEXCL keeps out unprivileged programs that lock nothing. A flag that no
// process stands behind was left by one that died holding it (a pseudo-terminal keeps
// it while its other side lives): the port is taken over, and the notice says so.
void TakeExclusively(int fd, const std::string& device, const std::string& name,
                     std::string& notice) {
  struct stat st {};
  const dev_t rdev = ::fstat(fd, &st) == 0 ? st.st_rdev : 0;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int e = errno;
    if (e != EWOULDBLOCK) {
      const std::string detail = "cannot lock it: " + SystemError(e);
      throw PortOpenError(err::kHardwareNotAvailable, "Cannot lock " + name + ": " + SystemError(e),
                          detail, OpenFailure::kOther);
    }
    if (const std::optional<pid_t> holder = OtherOpener(rdev)) {
      RefuseOpen(err::kPortAlreadyOpen, name, "in use by process " + std::to_string(*holder),
                 OpenFailure::kBusy, *holder);
    }
    RefuseOpen(err::kPortAlreadyOpen, name, "already open in this process", OpenFailure::kOpenHere,
               ::getpid());
  }
  int exclusive = 0;
  if (Sys().Ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
    if (const std::optional<pid_t> holder = OtherOpener(rdev)) HeldExclusively(holder, name);
    notice =
        "took over " + device + ": a program that is gone had left it held exclusively (TIOCEXCL)";
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

SerialPort::~SerialPort() { Close(); }

void SerialPort::CommPort(std::int16_t port) {
  if (port < 1) Fail(err::kInvalidPortNumber, "Invalid port number " + std::to_string(port));
  if (PortOpen()) Fail(err::kPortAlreadyOpen, "Port already open");
  port_ = port;
}

std::string SerialPort::Name() const {
  const std::string& path = PortOpen() ? opened_by_ : device_path_;
  return path.empty() ? "port " + std::to_string(port_) : path;
}

void SerialPort::Settings(std::string settings) {
  const LineSettings parsed = ParseSettings(settings);
  if (PortOpen()) Apply(parsed);
  settings_ = std::move(settings);
}

void SerialPort::Apply(const LineSettings& s) {
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

void SerialPort::PortOpen(bool open) {
  if (!open) {
    Close();
    return;
  }
  if (PortOpen()) Fail(err::kPortAlreadyOpen, "Port already open");
  const LineSettings settings = ParseSettings(settings_);
  const std::string path = device_path_.empty() ? PortDevicePath(port_) : device_path_;
  const std::string name = device_path_.empty() ? Name() + " (" + path + ")" : path;
  device_ = path;
  notice_.clear();
  const std::string device = RealDevice(path, name);
  device_ = device;
  // The lock comes first, as other serial programs take it: whoever holds it owns the
  // device, opened or not yet.
  PortLock lock = PortLock::Acquire(device, name);
  UniqueFd fd = OpenDevice(device, name);
  TakeExclusively(fd.get(), device, name, notice_);
  fd_ = std::move(fd);
  lock_ = std::move(lock);
  opened_by_ = device_path_;
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

void SerialPort::Close() {
  if (!fd_) return;
  // A child forked while the port was open holds copies of it; only the opener gives
  // the port up.
  if (opener_ == ::getpid()) Sys().Ioctl(fd_.get(), TIOCNXCL, nullptr);
  fd_.reset();  // also releases the advisory lock
  lock_.Release();
}

void SerialPort::WriteFailed(const std::string& why) {
  hung_up_ = true;
  Fail(err::kHardwareNotAvailable, "Cannot write to " + Name() + ": " + why);
}

void SerialPort::Output(std::string_view bytes) {
  if (!PortOpen()) Fail(err::kDeviceNotOpen, "Port not open");
  ThrowIfGone();
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

std::string SerialPort::Input() {
  if (!PortOpen()) Fail(err::kDeviceNotOpen, "Port not open");
  ThrowIfGone();
  std::string out;
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
  // What came before the hang-up is handed over first; a wait for more would be in vain.
  if (out.empty()) ThrowIfGone();
  return out;
}

void SerialPort::ThrowIfGone() const {
  if (!HungUp()) return;
  Fail(err::kHardwareNotAvailable, "The modem on " + Name() + " went away");
}

}  // namespace selvarn::platform
