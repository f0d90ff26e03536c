// Taking a port as serial programs on Linux expect: exclusively, and through a UUCP lock
// file named after the real device, checked against other processes.
#include "platform/port_lock.hpp"

#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
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

// Runs f in a child process; its result is the child's exit status.
template <typename F>
int InChild(F f) {
  const pid_t child = fork();
  if (child == 0) _exit(f());
  int status = -1;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Another process, alive until the object goes; f runs in it first.
class OtherProcess {
 public:
  template <typename F>
  explicit OtherProcess(F f) {
    int ready[2];
    if (pipe(ready) != 0) throw std::runtime_error("pipe");
    pid = fork();
    if (pid == 0) {
      f();
      (void)!write(ready[1], "x", 1);
      pause();
      _exit(0);
    }
    char c;
    (void)!read(ready[0], &c, 1);
    close(ready[0]);
    close(ready[1]);
  }
  ~OtherProcess() {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  OtherProcess(const OtherProcess&) = delete;
  OtherProcess& operator=(const OtherProcess&) = delete;
  pid_t pid;
};

class PortLocks : public PtyPort {
 protected:
  std::string LockFile() const {
    return ports_.locks() + "/" + "LCK.." + fs::path(device_).filename().string();
  }
  // Whether anything but root is kept from opening the device.
  bool HeldExclusively() const {
    const int fd = open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return errno == EBUSY;
    int exclusive = 0;
    ioctl(fd, TIOCGEXCL, &exclusive);
    close(fd);
    return exclusive != 0;
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
}

TEST_F(PortLocks, ALiveHolderRefusesTheOpenAndAStaleLockIsTakenOver) {
  const OtherProcess live([] {});
  const pid_t dead = fork();
  if (dead == 0) _exit(0);
  waitpid(dead, nullptr, 0);
  struct Case {
    const char* name;
    std::string lock;
    bool opens;
  } cases[] = {
      {"live process", Hdb(live.pid), false},
      {"live process, no padding", std::to_string(live.pid), false},
      {"this process", Hdb(getpid()), false},
      {"init", Hdb(1), false},
      {"no PID yet", "", false},
      {"not a PID", "modem\n", false},
      {"PID and more", Hdb(dead) + "x", false},
      {"dead process", Hdb(dead), true},
      {"dead process, no padding", std::to_string(dead) + "\n", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(LockFile()) << c.lock;
    MSComm port;
    EXPECT_EQ(ErrorNumberOf([&] { port.PortOpen(true); }), c.opens ? 0 : err::kPortAlreadyOpen);
    EXPECT_EQ(Slurp(LockFile()), c.opens ? Hdb(getpid()) : c.lock);
    EXPECT_EQ(port.PortOpen(), c.opens);
    EXPECT_EQ(HeldExclusively(), c.opens);
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
  EXPECT_EQ(InChild([&] {
              first.PortOpen(false);
              return 0;
            }),
            0);
  EXPECT_EQ(Slurp(LockFile()), Hdb(getpid()));
  EXPECT_TRUE(HeldExclusively());
  first.PortOpen(false);
  second.PortOpen(true);
  EXPECT_TRUE(second.PortOpen());
}

TEST_F(PortLocks, AProgramHoldingThePortExclusivelyKeepsIt) {
  // Another program that takes the port with TIOCEXCL and no lock file; a privileged
  // opener is not stopped by the kernel, so the port must be asked.
  const OtherProcess holder([this] {
    const int fd = open(device_.c_str(), O_RDWR | O_NOCTTY);
    ioctl(fd, TIOCEXCL);
  });
  MSComm port;
  EXPECT_EQ(ErrorNumberOf([&] { port.PortOpen(true); }), err::kPortAlreadyOpen);
  EXPECT_FALSE(fs::exists(LockFile()));
}

TEST_F(PortLocks, WithoutALockFolderThePortStillOpens) {
  setenv("SELVARN_SMS_LOCKS", (ports_.path() + "/absent").c_str(), 1);
  MSComm port;
  port.PortOpen(true);
  EXPECT_TRUE(port.PortOpen());
  EXPECT_TRUE(HeldExclusively());
}

}  // namespace
}  // namespace selvarn::platform
