// The serial control on pseudo-terminals: settings, bytes both ways, failing, stalled and
// interrupted calls, and how the port is taken (exclusively, with a UUCP lock file).
#include "platform/serial_port.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/port_error.hpp"
#include "platform/system_calls.hpp"
#include "platform/unique_fd.hpp"
#include "selvarn/error.hpp"
#include "support/errors.hpp"
#include "support/files.hpp"
#include "support/holders.hpp"
#include "support/port_folder.hpp"

namespace selvarn::platform {
namespace {

namespace fs = std::filesystem;
using selvarn::testing::ErrorNumberOf;
using selvarn::testing::Holding;
using selvarn::testing::InChild;
using selvarn::testing::Kill;
using selvarn::testing::Slurp;

class PtyPort : public ::testing::Test {
 protected:
  void SetUp() override {
    int master = -1;
    int slave = -1;
    char name[128];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    ::close(slave);  // the port under test opens it by itself
    master_.reset(master);
    device_ = name;
    ports_.Link(1, device_);
  }

  // What the device received, until want bytes or half a second of silence.
  std::string ReadMaster(std::size_t want) {
    std::string out;
    char buf[4096];
    for (int idle = 0; idle < 25 && out.size() < want;) {
      pollfd p{master_.get(), POLLIN, 0};
      const ssize_t n = ::poll(&p, 1, 20) > 0 ? ::read(master_.get(), buf, sizeof buf) : 0;
      idle = n > 0 ? 0 : idle + 1;
      if (n > 0) out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }

  selvarn::testing::PortFolder ports_;
  UniqueFd master_;
  std::string device_;
};

// The real system calls, except for the outcomes queued for the next calls of a kind:
// a negative entry fails the call with that errno; any other caps the bytes a read or
// write moves, or is the events a poll reports at once.
struct Disturbed : SystemCalls {
  std::deque<int> opens, reads, writes, polls;
  int open_flags = 0;   // of the last open
  int interrupted = 0;  // real waits a signal ended

  int Open(const char* path, int flags, mode_t mode) override {
    open_flags = flags;
    return Next(opens, 0) < 0 ? -1 : SystemCalls::Open(path, flags, mode);
  }
  ssize_t Read(int fd, void* buffer, std::size_t size) override {
    const int cap = Next(reads, static_cast<int>(size));
    return cap < 0 ? -1 : SystemCalls::Read(fd, buffer, std::min<std::size_t>(size, cap));
  }
  ssize_t Write(int fd, const void* bytes, std::size_t size) override {
    const int cap = Next(writes, static_cast<int>(size));
    return cap < 0 ? -1 : SystemCalls::Write(fd, bytes, std::min<std::size_t>(size, cap));
  }
  int Poll(pollfd* fds, nfds_t count, int timeout_ms) override {
    const int events = Next(polls, 0);
    if (events != 0) return events < 0 ? -1 : (fds->revents = static_cast<short>(events), 1);
    const int ready = SystemCalls::Poll(fds, count, timeout_ms);
    interrupted += ready < 0 && errno == EINTR;
    return ready;
  }
  static int Next(std::deque<int>& queue, int otherwise) {
    if (queue.empty()) return otherwise;
    const int v = queue.front();
    queue.pop_front();
    if (v < 0) errno = -v;
    return v;
  }
};

TEST(SettingsText, ValidTextsParseAndMalformedOnesAreRefused) {
  const std::pair<const char*, LineSettings> valid[] = {
      {"115200,N,8,1", {115200, 'N', 8, 1}}, {"9600,e,7,2", {9600, 'E', 7, 2}},
      {"300,O,5,1.5", {300, 'O', 5, 2}},     {"19200,M,8,1", {19200, 'M', 8, 1}},
      {"2400,S,6,1", {2400, 'S', 6, 1}},     {" 57600 , N , 8 , 1", {57600, 'N', 8, 1}},
  };
  for (const auto& [text, want] : valid) {
    const LineSettings s = ParseSettings(text);
    EXPECT_EQ(std::tie(s.speed, s.parity, s.data_bits, s.stop_bits),
              std::tie(want.speed, want.parity, want.data_bits, want.stop_bits))
        << text;
  }
  for (const char* text :
       {"", "115200", "115200,N,8", "115200,N,8,1,1", "12345,N,8,1", "9600,X,8,1", "9600,NN,8,1",
        "9600,N,9,1", "9600,N,4,1", "9600,N,8,3", "abc,N,8,1", "959:,N,8,1", "-9600,N,8,1",
        "9600,,8,1", "99999999999,N,8,1"}) {
    SerialPort port;
    EXPECT_EQ(ErrorNumberOf([&] { port.Settings(text); }), err::kInvalidPropertyValue) << text;
    EXPECT_EQ(port.Settings(), "9600,N,8,1") << text;
  }
}

TEST(PortNumbers, InvalidMissingOrUnsuitableDevicesAreRefused) {
  selvarn::testing::PortFolder ports;
  ports.Link(1, ports.path() + "/no-such-device");
  std::ofstream(ports.path() + "/plain") << "x";
  ports.Link(2, ports.path() + "/plain");
  SerialPort port;
  EXPECT_EQ(ErrorNumberOf([&] { port.CommPort(0); }), err::kInvalidPortNumber);
  EXPECT_EQ(port.CommPort(), 1);
  for (const std::int16_t n : {1, 2, 250}) {  // dangling link, not a tty, /dev/ttyS249
    port.CommPort(n);
    EXPECT_EQ(ErrorNumberOf([&] { port.PortOpen(true); }), err::kHardwareNotAvailable) << n;
    EXPECT_FALSE(port.PortOpen());
  }
  EXPECT_EQ(ErrorNumberOf([&] { port.Output("AT\r"); }), err::kDeviceNotOpen);
  EXPECT_EQ(ErrorNumberOf([&] { port.Input(); }), err::kDeviceNotOpen);
}

TEST_F(PtyPort, SettingsReachTheDevice) {
  SerialPort port;
  port.Settings("9600,E,7,2");
  port.PortOpen(true);
  // A pseudo-terminal forces 8 bits without parity; speed and stop bits stay as set.
  for (const auto& [speed, stop] : {std::pair{B9600, true}, {B115200, false}}) {
    termios tio{};
    ASSERT_EQ(tcgetattr(master_.get(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(speed));
    EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, stop);
    port.Settings("115200,N,8,1");  // takes effect while open
  }
}

TEST_F(PtyPort, InterruptedOrShortCallsLoseNothingAndAFailedDeviceIsGone) {
  struct Case {
    const char* name;
    std::deque<int> opens, writes, polls, reads;
    bool write_ok, read_ok;
    bool answers_first = false;  // what came before the failure is still handed over
  } cases[] = {
      {"interrupted open", {-EINTR, -EINTR}, {}, {}, {}, true, true},
      {"interrupted write", {}, {-EINTR, -EINTR}, {}, {}, true, true},
      {"short writes", {}, {1, 2, 0, 3}, {}, {}, true, true},
      {"no room, interrupted wait", {}, {-EAGAIN, -EAGAIN}, {-EINTR, -EINTR}, {}, true, true},
      {"interrupted and short reads", {}, {}, {}, {-EINTR, 1, -EINTR, 2}, true, true},
      {"write fails", {}, {-EIO}, {}, {}, false, true},
      {"read fails", {}, {}, {}, {-EIO}, true, false},
      {"hang-up seen by an interrupted poll", {}, {}, {-EINTR, POLLHUP}, {0}, true, false},
      {"far end closes", {}, {}, {}, {}, true, false},
      {"an answer, then the device fails", {}, {}, {}, {7, -EIO}, true, false, true},
  };
  const std::string out("AT+CMGF=0\r\r\n\x1a\x1b\x7f\x80\xff", 16);
  const std::string in("\r\n> \x00\xfe\n", 7);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    Disturbed sys;
    const SystemCallsGuard guard(sys);
    sys.opens = c.opens;
    SerialPort port;
    port.PortOpen(true);
    EXPECT_EQ(sys.open_flags & (O_CLOEXEC | O_NOCTTY | O_NONBLOCK),
              O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    sys.writes = c.writes;
    sys.polls = c.polls;
    sys.reads = c.reads;
    EXPECT_EQ(ErrorNumberOf([&] { port.Output(out); }),
              c.write_ok ? 0 : err::kHardwareNotAvailable);
    EXPECT_EQ(ReadMaster(out.size()), c.write_ok ? out : "");
    if (c.read_ok || !c.reads.empty() || c.answers_first) {
      ASSERT_EQ(::write(master_.get(), in.data(), in.size()), 7);
    }
    if (!c.read_ok && c.reads.empty()) master_.reset();  // the far end closes
    usleep(20000);
    if (c.answers_first || (c.read_ok && c.write_ok)) {
      EXPECT_EQ(port.Input(), in);
    }
    if (c.read_ok && c.write_ok) {
      EXPECT_EQ(port.Input(), "") << "what was read is not read again";
    } else {
      // Nothing more can come: a wait for it ends at once.
      EXPECT_EQ(ErrorNumberOf([&] { port.Input(); }), err::kHardwareNotAvailable);
      EXPECT_EQ(ErrorNumberOf([&] { port.Output(out); }), err::kHardwareNotAvailable);
      EXPECT_TRUE(port.PortOpen()) << "the port stays open until closed";
    }
    EXPECT_EQ(sys.opens.size() + sys.writes.size() + sys.polls.size() + sys.reads.size(), 0u);
  }
}

// A device that takes one byte, then no more for pause_ms, on a fake monotonic clock,
// answering EAGAIN and 0 by turns; a signal every signal_ms (0: none) ends each wait
// early; a hang-up (-1 ms) ends it at once.
struct StallingDevice : SystemCalls {
  StallingDevice(std::int64_t pause_ms, std::int64_t signal_ms)
      : pause(pause_ms), signal(signal_ms), ready_at(pause_ms) {}
  std::int64_t pause, signal, ready_at, now = 0;
  std::string taken;
  bool zero = false;

  ssize_t Write(int, const void* bytes, std::size_t) override {
    if (now < ready_at) return (zero = !zero) ? 0 : (errno = EAGAIN, -1);
    taken += *static_cast<const char*>(bytes);
    ready_at = now + pause;
    return 1;
  }
  int Poll(pollfd* p, nfds_t, int timeout_ms) override {
    if (signal < 0) return p->revents = POLLHUP, 1;
    p->revents = ready_at <= now + timeout_ms ? POLLOUT : 0;
    if (p->revents != 0) return now = std::max(now, ready_at), 1;
    if (signal > 0 && signal < timeout_ms) return now += signal, errno = EINTR, -1;
    return now += timeout_ms, 0;
  }
  std::int64_t MonotonicMs() override { return now; }
};

TEST_F(PtyPort, AWriteGivesUpAfterFiveSecondsWithoutProgressWhateverTheSignals) {
  struct Case {
    std::int64_t pause_ms, signal_ms;
    bool taken;
    std::int64_t end_ms;
  } cases[] = {
      {4999, 1, true, 3 * 4999}, {5000, 7, true, 3 * 5000}, {5001, 1, false, 5000},
      {5001, 7, false, 5000},    {5001, 0, false, 5000},    {60000, 3, false, 5000},
      {60000, -1, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.pause_ms << " ms pause, signal every " << c.signal_ms);
    StallingDevice device(c.pause_ms, c.signal_ms);
    const SystemCallsGuard guard(device);
    SerialPort port;
    port.PortOpen(true);
    EXPECT_EQ(ErrorNumberOf([&] { port.Output("AT\r"); }),
              c.taken ? 0 : err::kHardwareNotAvailable);
    EXPECT_EQ(device.taken, c.taken ? "AT\r" : "");
    EXPECT_EQ(device.now, c.end_ms);
  }
}

// The HDB form: the PID right-aligned in ten characters, then a newline.
std::string Hdb(pid_t pid) {
  const std::string digits = std::to_string(pid);
  return std::string(10 - digits.size(), ' ') + digits + "\n";
}

class PortLocks : public PtyPort {
 protected:
  std::string LockFile() const {
    return ports_.locks() + "/LCK.." + fs::path(device_).filename().string();
  }
  bool HeldExclusively() const { return selvarn::testing::HeldExclusively(device_); }
};

TEST_F(PortLocks, TheOpenerAloneHoldsTheRealDeviceAndItsLock) {
  ports_.Link(1, ports_.path() + "/modem");  // com1 -> modem -> the device
  fs::create_symlink(device_, ports_.path() + "/modem");
  SerialPort port, second;
  port.PortOpen(true);
  EXPECT_EQ(Slurp(LockFile()), Hdb(getpid()));
  EXPECT_EQ(fs::status(LockFile()).permissions(), static_cast<fs::perms>(0644));
  EXPECT_EQ(ErrorNumberOf([&] { port.PortOpen(true); }), err::kPortAlreadyOpen);
  EXPECT_EQ(ErrorNumberOf([&] { port.CommPort(2); }), err::kPortAlreadyOpen);
  EXPECT_EQ(ErrorNumberOf([&] { second.PortOpen(true); }), err::kPortAlreadyOpen);
  EXPECT_EQ(InChild([] { return ErrorNumberOf([] { SerialPort().PortOpen(true); }) == 8005; }), 1);
  // A child forked while the port is open may close its copy; the port stays ours.
  EXPECT_EQ(InChild([&] { return port.PortOpen(false), 0; }), 0);
  EXPECT_EQ(Slurp(LockFile()), Hdb(getpid()));
  EXPECT_TRUE(HeldExclusively());
  port.PortOpen(false);
  EXPECT_TRUE(fs::is_empty(ports_.locks())) << "the lock and any temporary file are gone";
  EXPECT_FALSE(HeldExclusively());
  second.PortOpen(true);  // a lock that another program replaced is not ours to remove
  fs::remove(LockFile());
  std::ofstream(LockFile()) << Hdb(getppid());
  second.PortOpen(false);
  EXPECT_EQ(Slurp(LockFile()), Hdb(getppid()));
  setenv("SELVARN_SMS_LOCKS", (ports_.path() + "/absent").c_str(), 1);
  port.PortOpen(true);  // where no lock can be made, the port opens without one
  EXPECT_TRUE(HeldExclusively());
  EXPECT_EQ(ErrorNumberOf([&] { second.PortOpen(true); }), err::kPortAlreadyOpen);
}

// Why an open failed, and the holder it names; nothing when it opened.
std::optional<std::pair<OpenFailure, pid_t>> Refusal(SerialPort& port) {
  try {
    port.PortOpen(true);
    return std::nullopt;
  } catch (const PortOpenError& e) {
    EXPECT_EQ(e.number(), err::kPortAlreadyOpen);
    return std::pair{e.why(), e.holder()};
  }
}

TEST_F(PortLocks, ALiveHolderRefusesTheOpenAndAStaleLockIsTakenOver) {
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  using Refused = std::optional<std::pair<OpenFailure, pid_t>>;
  const Refused busy{{OpenFailure::kBusy, 0}};
  const std::pair<std::string, Refused> cases[] = {
      {Hdb(getppid()), {{OpenFailure::kBusy, getppid()}}},  // a live process
      {Hdb(getpid()), {{OpenFailure::kOpenHere, getpid()}}},
      {Hdb(1), {{OpenFailure::kBusy, 1}}},
      {"", busy},  // created, PID not yet written
      {"modem\n", busy},
      {Hdb(gone) + "x", busy},
      {Hdb(gone), std::nullopt},  // its process is gone
      {std::to_string(gone) + "\n", std::nullopt},
  };
  for (const auto& [lock, refused] : cases) {
    SCOPED_TRACE("lock \"" + lock + "\"");
    std::ofstream(LockFile()) << lock;
    Disturbed sys;
    const SystemCallsGuard guard(sys);
    sys.reads = {-EINTR};  // while reading the lock
    SerialPort port;
    EXPECT_EQ(Refusal(port), refused);
    EXPECT_EQ(Slurp(LockFile()), refused ? lock : Hdb(getpid()));
    EXPECT_EQ(HeldExclusively(), !refused);
    port.PortOpen(false);
    fs::remove(LockFile());
  }
}

// Programs that hold the port without a lock file: by the exclusive flag (which on a
// pseudo-terminal outlives its holder, and which a privileged open would ignore) or by
// flock. A live holder is named; a flag that no process stands behind is taken over where
// the open gets through (as root), and named as the reason where it does not.
TEST_F(PortLocks, AnExclusiveHolderIsNamedAndAFlagLeftByAKilledProgramTakenOver) {
  const bool privileged = geteuid() == 0;
  struct Case {
    const char* name;
    bool exclusive, flock, lives;        // what a child process did, and whether it lives on
    bool busy_open;                      // the open answers EBUSY
    std::optional<OpenFailure> refused;  // nothing: it opens
  } cases[] = {
      {"a live program holds it exclusively", true, false, true, false, OpenFailure::kBusy},
      {"a live program holds its flock", false, true, true, false, OpenFailure::kBusy},
      {"refused busy, a live program has it", false, false, true, true, OpenFailure::kBusy},
      {"refused busy, nobody has it", false, false, false, true, OpenFailure::kExclusive},
      {"the flag of a killed program", true, false, false, false,
       privileged ? std::nullopt : std::optional(OpenFailure::kExclusive)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    const pid_t holder = Holding([&] {
      const int fd = open(device_.c_str(), O_RDWR | O_NOCTTY);
      if (c.exclusive) ioctl(fd, TIOCEXCL);
      if (c.flock) flock(fd, LOCK_EX);
      return fd >= 0;
    });
    ASSERT_GT(holder, 0);
    const pid_t live = c.lives ? holder : 0;
    if (!c.lives) Kill(holder);
    Disturbed sys;
    const SystemCallsGuard guard(sys);
    if (c.busy_open) sys.opens = {-EBUSY};
    SerialPort port;
    const auto refusal = Refusal(port);
    EXPECT_EQ(refusal ? std::optional(refusal->first) : std::nullopt, c.refused);
    EXPECT_EQ(refusal ? refusal->second : 0, live);
    EXPECT_EQ(port.OpenNotice().empty(), !c.exclusive || c.lives || c.refused) << port.OpenNotice();
    if (!c.refused) {
      port.PortOpen(false);
      port.PortOpen(true);  // our own close left no flag behind
      EXPECT_EQ(port.OpenNotice(), "");
    }
    if (c.lives) Kill(holder);
  }
}

}  // namespace
}  // namespace selvarn::platform
