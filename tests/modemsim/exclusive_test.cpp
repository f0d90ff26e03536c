// A port held exclusively by a program that was killed: like a real serial port, the
// simulator's port is free again once its last holder is gone, and only then.
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include <thread>

#include "client.hpp"
#include "modemsim/simulator.hpp"

namespace modemsim_test {
namespace {

using selvarn::modemsim::Simulator;

// A child that opens the port as the library does (advisory lock, then TIOCEXCL) and
// waits to be killed. Only async-signal-safe calls after fork.
pid_t Holder(const std::string& path) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const bool held = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 && ioctl(fd, TIOCEXCL) == 0;
    const char answer = held ? 'y' : 'n';
    [[maybe_unused]] ssize_t n = write(ready[1], &answer, 1);
    for (;;) pause();
  }
  close(ready[1]);
  char answer = 'n';
  [[maybe_unused]] ssize_t n = read(ready[0], &answer, 1);
  close(ready[0]);
  if (answer != 'y') {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
  }
  return pid;
}

int Exclusive(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  int exclusive = -1;
  if (fd >= 0) ioctl(fd, TIOCGEXCL, &exclusive);
  if (fd >= 0) close(fd);
  return exclusive;
}

// Whether the port stays exclusive for `wait` (true), or turns free within it (false).
bool StaysExclusive(const std::string& path, milliseconds wait) {
  const auto until = std::chrono::steady_clock::now() + wait;
  while (std::chrono::steady_clock::now() < until) {
    if (Exclusive(path) == 0) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

TEST(Exclusive, FreedWhenTheLastHolderDiesAndNotBefore) {
  TempDir dir;
  Simulator sim({.port_folder = dir.path});
  const pid_t first = Holder(sim.link_path());
  ASSERT_GT(first, 0);
  // Others opening and closing meanwhile (a port probe) do not free it.
  EXPECT_TRUE(StaysExclusive(sim.link_path(), 200ms));

  kill(first, SIGKILL);
  waitpid(first, nullptr, 0);
  EXPECT_FALSE(StaysExclusive(sim.link_path(), 2000ms));

  // The next holder gets it, and the modem still answers it.
  const pid_t second = Holder(sim.link_path());
  EXPECT_GT(second, 0);
  if (second > 0) {
    kill(second, SIGKILL);
    waitpid(second, nullptr, 0);
  }
  Client client(sim.link_path());
  EXPECT_TRUE(Answers(client, "AT\r", "AT\r\r\nOK\r\n"));
}

}  // namespace
}  // namespace modemsim_test
