// Taking a port as serial programs on Linux expect: exclusively, and through a UUCP lock
// file named after the real device, checked against other processes.
#include "platform/port_lock.hpp"

#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/mscomm.hpp"
#include "pty.hpp"
#include "selvarn/error.hpp"
#include "support/errors.hpp"

namespace selvarn::platform {
namespace {

namespace fs = std::filesystem;
using selvarn::testing::ErrorNumberOf;

// The HDB form: the PID right-aligned in ten characters, then a newline.
std::string Hdb(pid_t pid) {
  const std::string digits = std::to_string(pid);
  return std::string(10 - digits.size(), ' ') + digits + "\n";
}

std::string Slurp(const std::string& path) {
  std::ostringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

// The exit status of a child process that runs f.
template <typename F>
int InChild(F f) {
  const pid_t child = fork();
  if (child == 0) _exit(f());
  int status = -1;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class PortLocks : public PtyPort {
 protected:
  std::string LockFile() const {
    return ports_.locks() + "/LCK.." + fs::path(device_).filename().string();
  }
  // Whether the device is in exclusive mode (an unprivileged open is refused outright).
  bool HeldExclusively() const {
    const UniqueFd fd(open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    int exclusive = 0;
    return fd ? ioctl(fd.get(), TIOCGEXCL, &exclusive) == 0 && exclusive != 0 : errno == EBUSY;
  }
};

TEST_F(PortLocks, WhileOpenTheRealDeviceIsLockedWithThisProcessesPid) {
  ports_.Link(1, ports_.path() + "/modem");  // com1 -> modem -> the device
  fs::create_symlink(device_, ports_.path() + "/modem");
  MSComm port;
  port.PortOpen(true);
  EXPECT_EQ(Slurp(LockFile()), Hdb(getpid()));
  EXPECT_EQ(fs::status(LockFile()).permissions(), static_cast<fs::perms>(0644));
  EXPECT_TRUE(HeldExclusively());
  port.PortOpen(false);
  EXPECT_TRUE(fs::is_empty(ports_.locks())) << "the lock and any temporary file are gone";
  EXPECT_FALSE(HeldExclusively());
  setenv("SELVARN_SMS_LOCKS", (ports_.path() + "/absent").c_str(), 1);
  port.PortOpen(true);  // where no lock can be made, the port opens without one
  EXPECT_TRUE(HeldExclusively());
}

TEST_F(PortLocks, ALiveHolderRefusesTheOpenAndAStaleLockIsTakenOver) {
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  const std::pair<std::string, bool> cases[] = {
      {Hdb(getppid()), false},  // a live process
      {std::to_string(getppid()), false},
      {Hdb(getpid()), false},
      {Hdb(1), false},
      {"", false},  // created, PID not yet written
      {"modem\n", false},
      {Hdb(gone) + "x", false},
      {Hdb(gone), true},  // its process is gone
      {std::to_string(gone) + "\n", true},
  };
  for (const auto& [lock, opens] : cases) {
    SCOPED_TRACE("lock \"" + lock + "\"");
    std::ofstream(LockFile()) << lock;
    MSComm port;
    EXPECT_EQ(ErrorNumberOf([&] { port.PortOpen(true); }), opens ? 0 : err::kPortAlreadyOpen);
    EXPECT_EQ(Slurp(LockFile()), opens ? Hdb(getpid()) : lock);
    EXPECT_EQ(HeldExclusively(), opens);
    port.PortOpen(false);
    fs::remove(LockFile());
  }
}

TEST_F(PortLocks, OtherOpenersAreRefusedWhileTheHolderLives) {
  MSComm first;
  first.PortOpen(true);
  EXPECT_EQ(ErrorNumberOf([&] { first.PortOpen(true); }), err::kPortAlreadyOpen);
  EXPECT_EQ(ErrorNumberOf([&] { first.CommPort(2); }), err::kPortAlreadyOpen);
  MSComm second;  // in this process, and in another one
  EXPECT_EQ(ErrorNumberOf([&] { second.PortOpen(true); }), err::kPortAlreadyOpen);
  EXPECT_EQ(InChild([] { return ErrorNumberOf([] { MSComm().PortOpen(true); }) == 8005; }), 1);
  // A child forked while the port is open may close its copy; the port stays ours.
  EXPECT_EQ(InChild([&] { return first.PortOpen(false), 0; }), 0);
  EXPECT_EQ(Slurp(LockFile()), Hdb(getpid()));
  EXPECT_TRUE(HeldExclusively());
  first.PortOpen(false);
  second.PortOpen(true);
  EXPECT_TRUE(second.PortOpen());
}

// A program that holds the port with TIOCEXCL and no lock file: a privileged opener is
// not stopped by the kernel, so the port itself must be asked.
TEST_F(PortLocks, AProgramHoldingThePortExclusivelyKeepsIt) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t holder = fork();
  if (holder == 0) {
    ioctl(open(device_.c_str(), O_RDWR | O_NOCTTY), TIOCEXCL);
    _exit(write(ready[1], "x", 1) == 1 ? pause() : 1);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  close(ready[0]);
  close(ready[1]);
  MSComm port;
  EXPECT_EQ(ErrorNumberOf([&] { port.PortOpen(true); }), err::kPortAlreadyOpen);
  EXPECT_FALSE(fs::exists(LockFile()));
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
}

}  // namespace
}  // namespace selvarn::platform
