#include "platform/wake_fifo.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "selvarn/error.hpp"

namespace selvarn::platform {

namespace {

[[noreturn]] void RefuseChannel(const std::string& path, const std::string& why) {
  throw RuntimeError(err::kPathFileAccess,
                     "Path/File access error: wake-up channel " + path + ": " + why);
}

// Ours: a FIFO of this user that no one else may open.
void CheckOurs(const std::string& path, const struct stat& st) {
  if (!S_ISFIFO(st.st_mode)) RefuseChannel(path, "exists and is not a FIFO; remove it");
  if (st.st_uid != geteuid()) RefuseChannel(path, "belongs to another user");
  if ((st.st_mode & 077) != 0) RefuseChannel(path, "is open to other users; remove it");
}

// Checked before opening too: opening a device or a planted file may itself do harm.
bool LookBeforeOpening(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return false;
    RefuseChannel(path, std::strerror(errno));
  }
  CheckOurs(path, st);
  return true;
}

// After opening: the file opened is the one looked at, not one swapped in between.
void CheckOpened(const std::string& path, int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) RefuseChannel(path, std::strerror(errno));
  CheckOurs(path, st);
}

}  // namespace

WakeListener::WakeListener(const std::string& path) {
  if (!LookBeforeOpening(path)) {
    if (mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST)
      RefuseChannel(path, std::strerror(errno));
    LookBeforeOpening(path);  // another waiter's, made meanwhile, or ours
  }
  fd_.reset(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (!fd_) RefuseChannel(path, std::strerror(errno));
  CheckOpened(path, fd_.get());
}

void WakeListener::Drain() const {
  char buf[256];
  while (::read(fd_.get(), buf, sizeof buf) > 0) {
  }
}

UniqueFd OpenWaker(const std::string& path) {
  if (!LookBeforeOpening(path)) return {};
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) {
    if (errno == ENXIO || errno == ENOENT) return {};  // no reader; or removed meanwhile
    RefuseChannel(path, std::strerror(errno));
  }
  CheckOpened(path, fd.get());
  return fd;
}

bool Wake(const UniqueFd& waker) {
  // A reader gone would kill us with SIGPIPE: it is held back and taken, so the write
  // answers EPIPE instead, and a SIGPIPE of another cause stays pending as it was.
  sigset_t pipe_only, saved;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  sigset_t pending;
  sigpending(&pending);
  const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
  pthread_sigmask(SIG_BLOCK, &pipe_only, &saved);
  ssize_t n = 0;
  do {
    n = ::write(waker.get(), "w", 1);
  } while (n < 0 && errno == EINTR);
  const int error = errno;
  if (n < 0 && error == EPIPE && !was_pending) {
    const timespec none{0, 0};
    sigtimedwait(&pipe_only, nullptr, &none);
  }
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return n == 1 || (n < 0 && error == EAGAIN);
}

}  // namespace selvarn::platform
