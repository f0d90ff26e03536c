#include "platform/mscomm.hpp"
#include "platform/port_folder.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "support/errors.hpp"

#include "selvarn/error.hpp"
#include "support/port_folder.hpp"

namespace selvarn::platform {
namespace {

using selvarn::testing::PortFolder;

using selvarn::testing::ErrorNumberOf;

// A pseudo-terminal whose slave is port 1 of a private port folder.
class PtyPort : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[128];
    ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    close(slave_);  // the port under test opens it by itself
    slave_ = -1;
    slave_path_ = name;
    ports_.Link(1, slave_path_);
    fcntl(master_, F_SETFL, O_NONBLOCK);
  }
  void TearDown() override {
    if (master_ >= 0) close(master_);
  }

  std::string ReadMaster() {
    std::string out;
    char buf[256];
    for (int i = 0; i < 50; ++i) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) {
        if (!out.empty()) break;
        continue;
      }
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) break;
      out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }

  std::string InputWithin(MSComm& port, std::size_t want) {
    std::string got;
    for (int i = 0; i < 100 && got.size() < want; ++i) {
      got += port.Input();
      usleep(2000);
    }
    return got;
  }

  PortFolder ports_;
  int master_ = -1;
  int slave_ = -1;
  std::string slave_path_;
};

TEST(SettingsText, ValidTextsParse) {
  struct Case {
    const char* text;
    int speed;
    char parity;
    int data;
    int stop;
  } cases[] = {
      {"115200,N,8,1", 115200, 'N', 8, 1},      {"9600,N,8,1", 9600, 'N', 8, 1},
      {"9600,e,7,2", 9600, 'E', 7, 2},          {"300,O,5,1.5", 300, 'O', 5, 2},
      {"19200,M,8,1", 19200, 'M', 8, 1},        {"2400,S,6,1", 2400, 'S', 6, 1},
      {" 57600 , N , 8 , 1", 57600, 'N', 8, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const LineSettings s = ParseSettings(c.text);
    EXPECT_EQ(s.speed, c.speed);
    EXPECT_EQ(s.parity, c.parity);
    EXPECT_EQ(s.data_bits, c.data);
    EXPECT_EQ(s.stop_bits, c.stop);
  }
}

TEST(SettingsText, MalformedTextsAreRuntimeErrors) {
  for (const char* text : {"", "115200", "115200,N,8", "115200,N,8,1,1", "12345,N,8,1",
                           "9600,X,8,1", "9600,NN,8,1", "9600,N,9,1", "9600,N,4,1", "9600,N,8,3",
                           "abc,N,8,1", "-9600,N,8,1", "9600,,8,1", "99999999999,N,8,1"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(ErrorNumberOf([&] { ParseSettings(text); }), err::kInvalidPropertyValue);
    MSComm port;
    EXPECT_EQ(ErrorNumberOf([&] { port.Settings(text); }), err::kInvalidPropertyValue);
    EXPECT_EQ(port.Settings(), "9600,N,8,1") << "a refused text must not be kept";
  }
}

TEST(PortNumbers, MapToTheFolderOrToTtyS) {
  PortFolder ports;
  ports.Link(3, "/dev/null");
  EXPECT_EQ(PortDevicePath(3), ports.path() + "/com3");
  EXPECT_EQ(PortDevicePath(4), "/dev/ttyS3");
  EXPECT_EQ(PortDevicePath(1), "/dev/ttyS0");
}

TEST(PortNumbers, BelowOneIsInvalid) {
  MSComm port;
  EXPECT_EQ(ErrorNumberOf([&] { port.CommPort(0); }), err::kInvalidPortNumber);
  EXPECT_EQ(ErrorNumberOf([&] { port.CommPort(-5); }), err::kInvalidPortNumber);
  EXPECT_EQ(port.CommPort(), 1);
}

TEST(PortNumbers, MissingOrUnsuitableDevicesAreRuntimeErrors) {
  PortFolder ports;
  ports.Link(1, ports.path() + "/no-such-device");
  const std::string plain = ports.path() + "/plain-file";
  std::ofstream(plain) << "x";
  ports.Link(2, plain);
  for (std::int16_t n : {1, 2, 250}) {  // dangling link, not a tty, /dev/ttyS249
    SCOPED_TRACE(n);
    MSComm port;
    port.CommPort(n);
    EXPECT_EQ(ErrorNumberOf([&] { port.PortOpen(true); }), err::kHardwareNotAvailable);
    EXPECT_FALSE(port.PortOpen());
  }
}

TEST(ClosedPort, WritesAndReadsAreRefused) {
  MSComm port;
  EXPECT_EQ(ErrorNumberOf([&] { port.Output("AT\r"); }), err::kDeviceNotOpen);
  EXPECT_EQ(ErrorNumberOf([&] { port.Input(); }), err::kDeviceNotOpen);
  EXPECT_EQ(ErrorNumberOf([&] { port.PortOpen(false); }), 0) << "closing a closed port is harmless";
}

TEST_F(PtyPort, BytesPassUnchangedBothWays) {
  MSComm port;
  port.Settings("115200,N,8,1");
  port.PortOpen(true);
  EXPECT_EQ(port.Input(), "") << "nothing waiting, and no wait";
  const std::string out("AT+CMGF=0\r\r\n\x1a\x1b\x7f\x80\xff", 16);
  port.Output(out);
  EXPECT_EQ(ReadMaster(), out);
  const std::string in("\r\nOK\r\n\x00\xfe", 8);
  ASSERT_EQ(write(master_, in.data(), in.size()), static_cast<ssize_t>(in.size()));
  EXPECT_EQ(InputWithin(port, in.size()), in);
  EXPECT_EQ(port.Input(), "") << "what was read is not read again";
}

TEST_F(PtyPort, InputNeverWaits) {
  MSComm port;
  port.PortOpen(true);
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < 100; ++i) port.Input();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
}

TEST_F(PtyPort, LineSettingsReachTheDevice) {
  MSComm port;
  port.Settings("9600,E,7,2");
  port.PortOpen(true);
  termios tio{};
  ASSERT_EQ(tcgetattr(master_, &tio), 0);
  // A pseudo-terminal forces 8 bits without parity; speed and stop bits stay as set.
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
  EXPECT_TRUE(tio.c_cflag & CSTOPB);
  EXPECT_FALSE(tio.c_cflag & CRTSCTS);
  EXPECT_FALSE(tio.c_lflag & ECHO);
  EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF | ICRNL));
  port.Settings("115200,N,8,1");  // takes effect while open
  ASSERT_EQ(tcgetattr(master_, &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
  EXPECT_FALSE(tio.c_cflag & CSTOPB);
}

TEST_F(PtyPort, OpeningIsExclusive) {
  MSComm first;
  first.PortOpen(true);
  EXPECT_EQ(ErrorNumberOf([&] { first.PortOpen(true); }), err::kPortAlreadyOpen);
  EXPECT_EQ(ErrorNumberOf([&] { first.CommPort(2); }), err::kPortAlreadyOpen);

  MSComm second;  // same process
  EXPECT_EQ(ErrorNumberOf([&] { second.PortOpen(true); }), err::kPortAlreadyOpen);
  EXPECT_FALSE(second.PortOpen());

  const pid_t child = fork();  // another process
  if (child == 0) {
    MSComm other;
    _exit(ErrorNumberOf([&] { other.PortOpen(true); }) == err::kPortAlreadyOpen ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  first.PortOpen(false);  // closing releases it
  EXPECT_EQ(ErrorNumberOf([&] { second.PortOpen(true); }), 0);
  EXPECT_TRUE(second.PortOpen());
}

TEST_F(PtyPort, FarEndClosingNeitherHangsNorCrashes) {
  MSComm port;
  port.PortOpen(true);
  port.Output("AT\r");
  EXPECT_EQ(ReadMaster(), "AT\r");
  close(master_);
  master_ = -1;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(port.Input(), "");
  EXPECT_EQ(ErrorNumberOf([&] { port.Output("AT\r"); }), err::kHardwareNotAvailable);
  EXPECT_EQ(port.Input(), "");
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
  EXPECT_TRUE(port.PortOpen()) << "the port stays open until closed";
  port.PortOpen(false);
  EXPECT_FALSE(port.PortOpen());
}

}  // namespace
}  // namespace selvarn::platform
