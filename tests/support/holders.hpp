// Programs that hold a port: a child process that takes it and waits to be killed, as a
// crash ends a program, and whether the port is still in exclusive mode.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace selvarn::testing {

// Kills and reaps a child; never kill(-1) or kill(0).
inline void Kill(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

// A child process that runs take() and then waits to be killed: its PID, or -1 (the
// child gone) when take() says it failed.
template <typename F>
pid_t Holding(F take) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    const char answer = take() ? 'y' : 'n';
    if (write(ready[1], &answer, 1) != 1) _exit(1);
    for (;;) pause();
  }
  ::close(ready[1]);
  char answer = 'n';
  while (read(ready[0], &answer, 1) < 0 && errno == EINTR) {
  }
  ::close(ready[0]);
  if (answer == 'y') return pid;
  Kill(pid);
  return -1;
}

// Whether the device is in exclusive mode (TIOCEXCL); an unprivileged open is then refused
// outright.
inline bool HeldExclusively(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == EBUSY;
  int exclusive = 0;
  const bool held = ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
  ::close(fd);
  return held;
}

}  // namespace selvarn::testing
