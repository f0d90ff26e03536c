#include "platform/port_lock.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/port_error.hpp"
#include "platform/system_calls.hpp"
#include "platform/unique_fd.hpp"
#include "selvarn/error.hpp"

namespace selvarn::platform {
namespace {

// Two programs taking over one stale lock at once can each remove the other's fresh
// one; a few rounds settle it, and then the port counts as busy.
constexpr int kAttempts = 3;

// The PID of an HDB lock: blanks, the digits, a newline. Anything else (a lock another
// program has created but not yet written, an old binary one) gives nothing.
std::optional<pid_t> ParsePid(std::string_view text) {
  const std::size_t start = std::min(text.find_first_not_of(' '), text.size());
  pid_t pid = 0;
  const auto [end, error] = std::from_chars(text.data() + start, text.data() + text.size(), pid);
  const std::size_t rest = static_cast<std::size_t>(end - text.data());
  if (error != std::errc() || pid <= 0 || text.find_first_not_of(" \n", rest) != text.npos) {
    return std::nullopt;
  }
  return pid;
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
  char buf[64];  // a lock is eleven bytes, written at once
  ssize_t n = 0;
  do {
    n = Sys().Read(fd.get(), buf, sizeof buf);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) holder.pid = ParsePid(std::string_view(buf, static_cast<std::size_t>(n)));
  return holder;
}

// EPERM: the process lives but belongs to someone else.
bool Alive(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

enum class Made { kTaken, kExists, kCannot };

// The PID goes into a fresh file that is then linked to the lock's name, so no other
// program ever sees the lock without it.
Made Create(const std::string& folder, const std::string& path, pid_t self) {
  std::string temp = folder + "/LTMP.XXXXXX";
  const UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd) return Made::kCannot;
  char text[16];
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(self));
  Made made = Made::kCannot;
  // Readable by all, so other programs can tell who holds the port.
  if (::fchmod(fd.get(), 0644) == 0 && WriteAll(fd.get(), text)) {
    if (::link(temp.c_str(), path.c_str()) == 0) {
      made = Made::kTaken;
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

std::string LockFolder() {
  if (const char* p = std::getenv("SELVARN_SMS_LOCKS"); p != nullptr && *p != '\0') return p;
  return "/var/lock";
}

[[noreturn]] void Busy(const std::string& name, const std::string& why, pid_t holder = 0) {
  if (holder == ::getpid()) {
    RefuseOpen(err::kPortAlreadyOpen, name, "already open in this process", OpenFailure::kOpenHere,
               holder);
  }
  RefuseOpen(err::kPortAlreadyOpen, name, "in use by another program: " + why, OpenFailure::kBusy,
             holder);
}

}  // namespace

PortLock PortLock::Acquire(const std::string& device, const std::string& name) {
  const std::string folder = LockFolder();
  const std::string path = folder + "/LCK.." + device.substr(device.rfind('/') + 1);
  const pid_t self = ::getpid();
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    PortLock lock;
    const Made made = Create(folder, path, self);
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
      Busy(name, "process " + std::to_string(*holder->pid) + " holds " + path, *holder->pid);
    }
    if (made == Made::kCannot) return lock;  // stale, and not ours to remove
    RemoveStale(path, *holder);
  }
  Busy(name, path + " keeps changing");
}

PortLock::PortLock(PortLock&& other) noexcept
    : path_(std::exchange(other.path_, {})), owner_(other.owner_) {}

PortLock& PortLock::operator=(PortLock&& other) noexcept {
  if (this != &other) {
    Release();
    path_ = std::exchange(other.path_, {});
    owner_ = other.owner_;
  }
  return *this;
}

void PortLock::Release() noexcept {
  if (path_.empty()) return;
  // A child forked while the port was open has a copy of this lock: only the process
  // that made it removes it, and only while it still holds that process's PID.
  if (owner_ == ::getpid()) {
    const std::optional<Holder> holder = ReadHolder(path_);
    if (holder && holder->pid == owner_) ::unlink(path_.c_str());
  }
  path_.clear();
}

}  // namespace selvarn::platform
