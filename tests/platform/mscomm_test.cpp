// The serial control on pseudo-terminals: settings, bytes both ways, and what a device
// that fails, stalls or is interrupted does to a write or a read.
#include "platform/mscomm.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/time.h>
#include <termios.h>

#include <fstream>
#include <string>
#include <thread>

#include "platform/port_folder.hpp"
#include "pty.hpp"
#include "selvarn/error.hpp"
#include "support/errors.hpp"

namespace selvarn::platform {
namespace {

using selvarn::testing::ErrorNumberOf;

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
  for (const char* text : {"", "115200", "115200,N,8", "115200,N,8,1,1", "12345,N,8,1",
                           "9600,X,8,1", "9600,NN,8,1", "9600,N,9,1", "9600,N,4,1", "9600,N,8,3",
                           "abc,N,8,1", "-9600,N,8,1", "9600,,8,1", "99999999999,N,8,1"}) {
    MSComm port;
    EXPECT_EQ(ErrorNumberOf([&] { port.Settings(text); }), err::kInvalidPropertyValue) << text;
    EXPECT_EQ(port.Settings(), "9600,N,8,1") << text;
  }
}

TEST(PortNumbers, InvalidMissingOrUnsuitableDevicesAreRefused) {
  selvarn::testing::PortFolder ports;
  ports.Link(1, ports.path() + "/no-such-device");
  std::ofstream(ports.path() + "/plain") << "x";
  ports.Link(2, ports.path() + "/plain");
  EXPECT_EQ(PortDevicePath(4), "/dev/ttyS3");  // no entry
  MSComm port;
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
  MSComm port;
  port.Settings("9600,E,7,2");
  port.PortOpen(true);
  termios tio{};
  ASSERT_EQ(tcgetattr(master_.get(), &tio), 0);
  // A pseudo-terminal forces 8 bits without parity; speed and stop bits stay as set.
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
  EXPECT_TRUE(tio.c_cflag & CSTOPB);
  port.Settings("115200,N,8,1");  // takes effect while open
  ASSERT_EQ(tcgetattr(master_.get(), &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
  EXPECT_FALSE(tio.c_cflag & CSTOPB);
}

TEST_F(PtyPort, BytesPassUnchangedThroughInterruptedShortAndRefusedCalls) {
  struct Case {
    const char* name;
    std::deque<int> opens, writes, polls, reads;
  } cases[] = {
      {"undisturbed", {}, {}, {}, {}},
      {"interrupted open", {-EINTR, -EINTR}, {}, {}, {}},
      {"interrupted write", {}, {-EINTR, -EINTR}, {}, {}},
      {"short writes", {}, {1, 2, 0, 3}, {}, {}},
      {"no room, interrupted wait", {}, {-EAGAIN, -EAGAIN}, {-EINTR, -EINTR}, {}},
      {"interrupted and short reads", {}, {}, {}, {-EINTR, 1, -EINTR, 2}},
  };
  const std::string out("AT+CMGF=0\r\r\n\x1a\x1b\x7f\x80\xff", 16);
  const std::string in("\r\n> \x00\xfe\n", 7);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Disturbed sys;
    const SystemCallsGuard guard(sys);
    sys.opens = c.opens;
    sys.writes = c.writes;
    sys.polls = c.polls;
    sys.reads = c.reads;
    MSComm port;
    port.PortOpen(true);
    EXPECT_EQ(sys.open_flags & (O_CLOEXEC | O_NOCTTY | O_NONBLOCK),
              O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    EXPECT_EQ(port.Input(), "");
    port.Output(out);
    EXPECT_EQ(ReadMaster(out.size()), out);
    ASSERT_EQ(::write(master_.get(), in.data(), in.size()), 7);
    usleep(20000);
    EXPECT_EQ(port.Input(), in);
    EXPECT_EQ(port.Input(), "") << "what was read is not read again";
    EXPECT_EQ(sys.opens.size() + sys.writes.size() + sys.polls.size() + sys.reads.size(), 0u);
  }
}

TEST_F(PtyPort, AFailingOrVanishedDeviceIsGoneWithoutWaiting) {
  for (const char* how : {"write fails", "read fails", "far end closes"}) {
    SCOPED_TRACE(how);
    SetUp();
    Disturbed sys;
    const SystemCallsGuard guard(sys);
    MSComm port;
    port.PortOpen(true);
    if (how[0] == 'w') sys.writes = {-EIO};
    if (how[0] == 'r') sys.reads = {-EIO};
    if (how[0] == 'f') master_.reset();
    if (how[0] != 'w') {
      EXPECT_EQ(port.Input(), "");
    }
    EXPECT_EQ(ErrorNumberOf([&] { port.Output("AT\r"); }), err::kHardwareNotAvailable);
    EXPECT_EQ(ErrorNumberOf([&] { port.Output("AT\r"); }), err::kHardwareNotAvailable);
    EXPECT_EQ(port.Input(), "");
    EXPECT_TRUE(port.PortOpen()) << "the port stays open until closed";
  }
}

// A device that takes one byte, then no more for pause_ms, on a fake monotonic clock;
// a signal every signal_ms (0: none) ends each wait early.
struct StallingDevice : SystemCalls {
  StallingDevice(std::int64_t pause_ms, std::int64_t signal_ms)
      : pause(pause_ms), signal(signal_ms), ready_at(pause_ms) {}
  std::int64_t pause, signal, ready_at, now = 0;
  std::string taken;

  ssize_t Write(int, const void* bytes, std::size_t) override {
    if (now < ready_at) return errno = EAGAIN, -1;
    taken += *static_cast<const char*>(bytes);
    ready_at = now + pause;
    return 1;
  }
  int Poll(pollfd* p, nfds_t, int timeout_ms) override {
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
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.pause_ms << " ms pause, signal every " << c.signal_ms);
    StallingDevice device(c.pause_ms, c.signal_ms);
    const SystemCallsGuard guard(device);
    MSComm port;
    port.PortOpen(true);
    EXPECT_EQ(ErrorNumberOf([&] { port.Output("AT\r"); }),
              c.taken ? 0 : err::kHardwareNotAvailable);
    EXPECT_EQ(device.taken, c.taken ? "AT\r" : "");
    EXPECT_EQ(device.now, c.end_ms);
  }
}

// A timer signal every millisecond, without SA_RESTART, while a device that stopped
// reading resumes after 300 ms: the write must wait for it, not give up.
TEST_F(PtyPort, ASignalStormDoesNotEndAStalledWrite) {
  Disturbed sys;
  const SystemCallsGuard guard(sys);
  MSComm port;
  port.PortOpen(true);
  std::string out(256 * 1024, 'A');  // far more than the terminal buffers
  for (std::size_t i = 0; i < out.size(); i += 7) out[i] = static_cast<char>('a' + i % 26);
  sigset_t alarm;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  pthread_sigmask(SIG_BLOCK, &alarm, nullptr);  // the reader inherits the block
  std::string got;
  std::thread reader([&] { got = (usleep(300000), ReadMaster(out.size())); });
  pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr);
  struct sigaction action {};
  action.sa_handler = [](int) {};
  sigaction(SIGALRM, &action, nullptr);
  itimerval timer{{0, 1000}, {0, 1000}};
  setitimer(ITIMER_REAL, &timer, nullptr);
  const int error = ErrorNumberOf([&] { port.Output(out); });
  timer = {};
  setitimer(ITIMER_REAL, &timer, nullptr);
  reader.join();
  EXPECT_EQ(error, 0);
  EXPECT_TRUE(got == out) << got.size() << " of " << out.size() << " bytes arrived";
  EXPECT_GT(sys.interrupted, 0) << "the storm never hit the wait";
}

}  // namespace
}  // namespace selvarn::platform
