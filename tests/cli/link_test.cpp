// Reaching the modem: a device path mapped to a port number for one run, the environment
// left as it was, why a start-up failed, and what `ports` finds.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "cli_support.hpp"
#include "modemsim/simulator.hpp"
#include "platform/system_calls.hpp"
#include "platform/unique_fd.hpp"

extern char** environ;

namespace selvarn::testing {
namespace {

namespace fs = std::filesystem;

class Link : public CommandLine {};

// The open of one device fails with one errno; every other call is the real one.
struct Refusing : platform::SystemCalls {
  std::string device;
  int error = 0;
  int Open(const char* path, int flags, mode_t mode) override {
    if (error == 0 || device != path) return SystemCalls::Open(path, flags, mode);
    errno = error;
    return -1;
  }
};

// Each reason a start-up fails for, with the device named as the user gave it, never the
// private port folder a run makes for it (and removes); a port whose exclusive flag no
// process stands behind is taken over where the open gets through.
TEST_F(Link, AStartUpThatFailsSaysWhyNamingTheDeviceAsGiven) {
  const std::string tmp = ports.path() + "/tmp";
  fs::create_directory(tmp);
  setenv("TMPDIR", tmp.c_str(), 1);
  const modemsim::Simulator sim({.port_folder = ports.path() + "/sims"});
  const std::string dev = sim.device_path(), on = "the modem on " + dev + " did not start: ";
  const std::string lock = ports.locks() + "/LCK.." + fs::path(dev).filename().string();
  // The lock file names a process that lives, known by its command line.
  pid_t holder = 0;
  char sleep[] = "/bin/sleep", thirty[] = "30";
  char* holder_argv[] = {sleep, thirty, nullptr};
  ASSERT_EQ(posix_spawn(&holder, sleep, nullptr, nullptr, holder_argv, environ), 0);
  // Until the child has run exec, its command line is still ours.
  for (int i = 0; i < 500; ++i) {
    std::ifstream comm("/proc/" + std::to_string(holder) + "/comm");
    std::string name;
    if (std::getline(comm, name) && name == "sleep") break;
    usleep(10000);
  }
  const std::string busy =
      "in use by another program: process " + std::to_string(holder) + " holds " + lock;
  const std::string in_use = "it is in use by process " + std::to_string(holder) +
                             " (sleep 30): stop that program, then try again\n";
  platform::UniqueFd master(posix_openpt(O_RDWR | O_NOCTTY));  // a port nothing answers on
  ASSERT_TRUE(master && unlockpt(master.get()) == 0);
  const std::string quiet = ptsname(master.get());
  const bool privileged = geteuid() == 0;
  const std::string held =
      on +
      "Fail: held exclusively (TIOCEXCL) by a program this user cannot see, or the flag "
      "was left by a program that was killed: only root can open it or clear the flag\n";
  const std::string locked_json =
      nlohmann::json{{"command", "send"},   {"status", "Fail"}, {"initialised", false},
                     {"reason", "Busy"},    {"detail", busy},   {"device", dev},
                     {"holder_pid", holder}}
          .dump();
  const std::string no_group =
      "Fail: cannot open it: Permission denied: add yourself to the group that owns it, usually "
      "dialout (sudo usermod -aG dialout $USER), then log in again\n";
  const std::string taken_over =
      "selvarn-sms: took over " + dev +
      ": a program that is gone had left it held exclusively (TIOCEXCL)\n";
  enum Setup { kNone, kLocked, kRefused, kBusy, kStaleFlag };
  const struct {
    std::vector<std::string> args;
    Setup setup;
    int code;
    std::string out, err = "";
  } cases[] = {
      // clang-format off
      {{"--device", dev, "init"}, kLocked, 1, on + in_use},
      // A member called by name answers with its result alone; why goes to standard error.
      {{"--device", dev, "call", "InitModem"}, kLocked, 1, "Fail\n", "selvarn-sms: " + on + in_use},
      {{"--device", dev, "--json", "send", "1", "Hi"}, kLocked, 1, locked_json},
      {{"--device", dev, "init"}, kRefused, 1, on + no_group},
      {{"--device", dev, "init"}, kBusy, 1, held},
      // The session's start-up tells it, as InitModem's does.
      {{"--device", dev, "send", "1", "Hi"}, kStaleFlag, privileged ? 0 : 1, privileged ? "sent as message 1 (7bit), "
       "message reference 1\n" : held, privileged ? taken_over : ""},
      {{"--device", quiet, "--trace", "init"}, kNone, 1, "the modem on " + quiet + " did not start: Fail: no answer to "
       "AT at 115200, 9600, 9600 bit/s: is the modem on, and is this its port?\n", "-- trying 115200 bit/s\n> AT<CR>\n"
       "-- trying 9600 bit/s\n> AT<CR>\n-- trying 9600 bit/s\n> AT<CR>\n"},
      {{"--sim", "--do", "set sim pin", "network"}, kNone, 1, "the modem on the built-in simulator did not start: "
       "PINRequired: the SIM asks for its PIN; none was given (give it with --pin)\n"},
      {{"--device", "/nonexistent/ttyUSB9", "init"}, kNone, 3, "",
       "selvarn-sms: error 8010: Cannot open /nonexistent/ttyUSB9: No such file or directory\n"},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    platform::UniqueFd flagged;
    if (c.setup == kStaleFlag) {  // held by no other process, and so by no live program
      flagged.reset(open(dev.c_str(), O_RDWR | O_NOCTTY));
      ASSERT_EQ(ioctl(flagged.get(), TIOCEXCL), 0);
    }
    if (c.setup == kLocked) std::ofstream(lock) << holder << "\n";
    Refusing refusing;
    refusing.device = dev;
    refusing.error = c.setup == kRefused ? EACCES : c.setup == kBusy ? EBUSY : 0;
    const platform::SystemCallsGuard guard(refusing);
    const Outcome o = Run(c.args);
    EXPECT_EQ(o.code, c.code);
    ExpectOutput(o.out, c.out);
    EXPECT_EQ(o.err, c.err);
    EXPECT_TRUE(fs::is_empty(tmp)) << "the private port folder is gone";
    EXPECT_EQ(std::getenv("SELVARN_SMS_PORTS"), ports.path());
    fs::remove(lock);
  }
  unsetenv("TMPDIR");
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
}

TEST_F(Link, PortsListsTheFolderAndTheSerialDevices) {
  dev_folder = ports.path() + "/dev";
  fs::create_directory(dev_folder);
  // Two pseudo-terminals stand in for serial devices; a plain file does not answer as one.
  platform::UniqueFd first(posix_openpt(O_RDWR | O_NOCTTY));
  platform::UniqueFd second(posix_openpt(O_RDWR | O_NOCTTY));
  ASSERT_TRUE(first && second);
  ASSERT_EQ(unlockpt(first.get()) | unlockpt(second.get()), 0);
  const std::string tty_a = ptsname(first.get());
  fs::create_symlink(tty_a, dev_folder + "/ttyUSB0");
  fs::create_symlink(ptsname(second.get()), dev_folder + "/ttyS10");
  std::ofstream(dev_folder + "/ttyACM0") << "not a tty";
  std::ofstream(dev_folder + "/ttyUSBx") << "not a name we look for";
  ports.Link(2, tty_a);
  ports.Link(7, "/nonexistent/ttyUSB4");

  const Outcome o = Run({"ports"});
  EXPECT_EQ(o.code, 0);
  EXPECT_EQ(o.out, "Port folder " + ports.path() + ":\n  com2 -> " + tty_a + "\n  com7 -> " +
                       "/nonexistent/ttyUSB4  (missing)\nSerial devices:\n  " + dev_folder +
                       "/ttyUSB0  port 2\n  " + dev_folder +
                       "/ttyS10  no port number: use --device " + dev_folder + "/ttyS10\n");
  EXPECT_EQ(Run({"--port", "7", "init"}).err,
            "selvarn-sms: error 8010: Port 7 leads to " + ports.path() +
                "/com7: No such file or directory (selvarn-sms ports lists the serial ports)\n");
  const nlohmann::json j = nlohmann::json::parse(Run({"--json", "ports"}).out);
  EXPECT_EQ(j["entries"][0], (nlohmann::json{{"port", 2}, {"target", tty_a}, {"present", true}}));
  EXPECT_EQ(j["entries"][1]["present"], false);
  EXPECT_EQ(j["devices"][1], (nlohmann::json{{"path", dev_folder + "/ttyS10"}, {"port", 0}}));
}

}  // namespace
}  // namespace selvarn::testing
