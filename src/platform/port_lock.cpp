#include "platform/port_lock.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/system_calls.hpp"
#include "platform/unique_fd.hpp"
#include "selvarn/error.hpp"

namespace selvarn::platform {
namespace {

// Two programs taking over one stale lock at once can each remove the other's fresh
// one; a few rounds settle it, and then the port counts as busy.
constexpr int kAttempts = 3;

// The PID of an HDB lock: blanks, up to ten digits, a newline. Anything else (a lock
// another program has created but not yet written, an old binary one) gives nothing.
std::optional<pid_t> ParsePid(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  const std::size_t first = i;
  long long pid = 0;
  while (i < text.size() && i - first < 10 && text[i] >= '0' && text[i] <= '9') {
    pid = pid * 10 + (text[i++] - '0');
  }
  if (i == first || pid <= 0 || pid > INT_MAX) return std::nullopt;
  while (i < text.size() && (text[i] == '\n' || text[i] == ' ')) ++i;
  if (i != text.size()) return std::nullopt;
  return static_cast<pid_t>(pid);
}

struct Holder {
  std::optional<pid_t> pid;  // nothing: the lock cannot be read
  dev_t dev = 0;
  ino_t ino = 0;
};

// Nothing when no lock file is there.
std::optional<Holder> ReadHolder(const std::string& path) {
  const UniqueFd fd(
      OpenRetrying(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  Holder holder;
  if (!fd) {
    if (errno == ENOENT) return std::nullopt;
    return holder;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return holder;
  holder.dev = st.st_dev;
  holder.ino = st.st_ino;
  char buf[64];
  std::size_t size = 0;
  while (size < sizeof buf) {
    const ssize_t n = Sys().Read(fd.get(), buf + size, sizeof buf - size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    size += static_cast<std::size_t>(n);
  }
  holder.pid = ParsePid(std::string_view(buf, size));
  return holder;
}

// EPERM: the process lives but belongs to someone else.
bool Alive(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

enum class Made { kTaken, kExists, kCannot };

// The PID goes into a fresh file that is then linked to the lock's name, so no other
// program ever sees the lock without it.
Made Create(const std::string& path, pid_t self, dev_t& dev, ino_t& ino) {
  std::string temp = path.substr(0, path.rfind('/') + 1) + "LTMP.XXXXXX";
  const UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd) return Made::kCannot;
  char text[16];
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(self));
  struct stat st {};
  Made made = Made::kCannot;
  // Readable by all, so other programs can tell who holds the port.
  if (::fchmod(fd.get(), 0644) == 0 && WriteAll(fd.get(), text) && ::fstat(fd.get(), &st) == 0) {
    if (::link(temp.c_str(), path.c_str()) == 0) {
      made = Made::kTaken;
      dev = st.st_dev;
      ino = st.st_ino;
    } else if (errno == EEXIST) {
      made = Made::kExists;
    }
  }
  ::unlink(temp.c_str());
  return made;
}

// Removes the lock only if it is still the one that was read, not a fresh one another
// program made meanwhile.
void RemoveStale(const std::string& path, const Holder& holder) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && st.st_dev == holder.dev && st.st_ino == holder.ino) {
    ::unlink(path.c_str());
  }
}

[[noreturn]] void Busy(const std::string& name, const std::string& why) {
  throw RuntimeError(err::kPortAlreadyOpen, name + " is in use by another program: " + why);
}

}  // namespace

std::string LockFolder() {
  if (const char* p = std::getenv("SELVARN_SMS_LOCKS"); p != nullptr && *p != '\0') return p;
  return "/var/lock";
}

std::string LockFilePath(const std::string& device) {
  return LockFolder() + "/LCK.." + device.substr(device.rfind('/') + 1);
}

PortLock PortLock::Acquire(const std::string& device, const std::string& name) {
  const std::string path = LockFilePath(device);
  const pid_t self = ::getpid();
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    PortLock lock;
    const Made made = Create(path, self, lock.dev_, lock.ino_);
    if (made == Made::kTaken) {
      lock.path_ = path;
      lock.owner_ = self;
      return lock;
    }
    const std::optional<Holder> holder = ReadHolder(path);
    if (!holder) {
      if (made == Made::kCannot) return lock;  // no lock, and none can be made here
      continue;                                // removed meanwhile: try again
    }
    if (!holder->pid) Busy(name, path + " names no process");
    if (Alive(*holder->pid)) {
      Busy(name, "process " + std::to_string(*holder->pid) + " holds " + path);
    }
    if (made == Made::kCannot) return lock;  // stale, and not ours to remove
    RemoveStale(path, *holder);
  }
  Busy(name, path + " keeps changing");
}

PortLock::PortLock(PortLock&& other) noexcept
    : path_(std::exchange(other.path_, {})),
      owner_(other.owner_),
      dev_(other.dev_),
      ino_(other.ino_) {}

PortLock& PortLock::operator=(PortLock&& other) noexcept {
  if (this != &other) {
    Release();
    path_ = std::exchange(other.path_, {});
    owner_ = other.owner_;
    dev_ = other.dev_;
    ino_ = other.ino_;
  }
  return *this;
}

void PortLock::Release() noexcept {
  if (path_.empty()) return;
  // A child forked while the port was open has a copy of this lock; only the process
  // that made it may remove it.
  struct stat st {};
  if (owner_ == ::getpid() && ::lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ &&
      st.st_ino == ino_) {
    ::unlink(path_.c_str());
  }
  path_.clear();
}

}  // namespace selvarn::platform
