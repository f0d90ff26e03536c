#include "pty_port.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/port_folder.hpp"

namespace selvarn::modemsim {

namespace {

// Port numbers are 16-bit signed on the library's side.
constexpr int kMaxPort = 32767;

[[noreturn]] void Fail(const std::string& what, int err = errno) {
  throw std::system_error(err, std::generic_category(), what);
}

}  // namespace

PtyPort::PtyPort(const std::string& folder, int number) {
  if (number < 0 || number > kMaxPort) {
    throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                            "port number " + std::to_string(number));
  }
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) throw std::system_error(ec, "port folder " + folder);

  master_.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master_) Fail("posix_openpt");
  char name[PATH_MAX];
  if (grantpt(master_.get()) != 0 || unlockpt(master_.get()) != 0 ||
      ptsname_r(master_.get(), name, sizeof name) != 0) {
    Fail("pty slave");
  }
  device_ = name;
  slave_.reset(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!slave_) Fail("open " + device_);
  // Raw from the start: a cooked slave would echo our own answers back to us before the
  // library sets its mode, and would turn LF into CR LF.
  termios tio{};
  if (tcgetattr(slave_.get(), &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(slave_.get(), TCSANOW, &tio);
  }
  const int flags = fcntl(master_.get(), F_GETFL);
  fcntl(master_.get(), F_SETFL, flags | O_NONBLOCK);
  closes_.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!closes_ || inotify_add_watch(closes_.get(), name, IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
    Fail("inotify on " + device_);
  }

  // symlink() fails on an existing name, so two simulators racing for a number never
  // share one: the loser moves on to the next.
  const int first = number > 0 ? number : 1;
  const int last = number > 0 ? number : kMaxPort;
  for (int n = first; n <= last; ++n) {
    std::string link = folder + "/" + platform::PortEntryName(n);
    if (symlink(device_.c_str(), link.c_str()) == 0) {
      number_ = n;
      link_ = link;
      return;
    }
    if (errno != EEXIST || number > 0) Fail("link " + link);
  }
  Fail("no free port number in " + folder, EEXIST);
}

void PtyPort::OnClosed() {
  char events[4096];
  while (read(closes_.get(), events, sizeof events) > 0) {
  }
  int exclusive = 0;
  if (ioctl(slave_.get(), TIOCGEXCL, &exclusive) != 0 || exclusive == 0) return;
  // Our own open file takes the lock only when no other holds it.
  if (flock(slave_.get(), LOCK_EX | LOCK_NB) != 0) return;
  ioctl(slave_.get(), TIOCNXCL);
  flock(slave_.get(), LOCK_UN);
}

PtyPort::~PtyPort() {
  // Only our own link goes: someone may have replaced it meanwhile.
  char target[PATH_MAX];
  const ssize_t len = readlink(link_.c_str(), target, sizeof target - 1);
  if (len >= 0 && std::string(target, static_cast<std::size_t>(len)) == device_) {
    unlink(link_.c_str());
  }
}

}  // namespace selvarn::modemsim
