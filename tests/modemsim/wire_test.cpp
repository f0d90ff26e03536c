// What happens on the wire beyond plain answers: ports that come and go, exclusive
// holders, and the transcript. (Line speed and faults are pinned by the library's
// start-up and transaction tests.)
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>

#include <filesystem>
#include <sstream>
#include <thread>

#include "client.hpp"
#include "modemsim/simulator.hpp"
#include "support/holders.hpp"

namespace modemsim_test {
namespace {

using selvarn::modemsim::Printable;
using selvarn::modemsim::Simulator;

class Wire : public testing::Test {
 protected:
  TempDir dir_;
};

// Two simulators take two ports, each survives its client closing and reopening, and
// both links are gone afterwards.
TEST_F(Wire, TwoSimulatorsTakeTwoPortsAndOutliveTheirClients) {
  {
    Simulator a({.port_folder = dir_.path});
    Simulator b({.port_folder = dir_.path});
    EXPECT_NE(a.port(), b.port());
    a.SetEcho(false);
    for (int round = 0; round < 2; ++round) {
      Client ca(a.link_path());
      Client cb(b.link_path());
      EXPECT_TRUE(Answers(cb, "AT\r", "AT\r" + kOk)) << round;
      EXPECT_TRUE(Answers(ca, "AT\r", kOk)) << round;
    }
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path));
}

TEST_F(Wire, TranscriptKeepsEveryByteInOrder) {
  Simulator sim({.port_folder = dir_.path});
  Client client(sim.link_path());
  ASSERT_TRUE(Answers(client, "AT\r", "AT\r" + kOk));
  ASSERT_TRUE(Answers(client, "AT+CMGS=1\r", "AT+CMGS=1\r\r\n> "));
  ASSERT_TRUE(Answers(client, "0000\x1a", "0000\x1a\r\n+CMS ERROR: 304\r\n"));
  EXPECT_EQ(sim.Received(), "AT\rAT+CMGS=1\r0000\x1a");
  EXPECT_EQ(sim.Sent(), "AT\r" + kOk + "AT+CMGS=1\r\r\n> 0000\x1a\r\n+CMS ERROR: 304\r\n");

  std::istringstream printed(sim.PrintableTranscript());
  std::string shape;
  for (std::string line; std::getline(printed, line);) {
    shape += line.substr(line.find(" ms ") + 4) + "\n";
  }
  EXPECT_EQ(shape,
            "host  AT<CR>\n"
            "modem AT<CR><CR><LF>OK<CR><LF>\n"
            "host  AT+CMGS=1<CR>\n"
            "modem AT+CMGS=1<CR><CR><LF>> \n"
            "host  0000<^Z>\n"
            "modem 0000<^Z><CR><LF>+CMS ERROR: 304<CR><LF>\n");
  EXPECT_EQ(Printable(std::string("\x1b\x00\x7f\x80\xff\t", 6)),
            "<ESC><0x00><0x7F><0x80><0xFF><0x09>");
}

// A port held exclusively by a program that was killed: like a real serial port, the
// simulator's port is free again once its last holder is gone, and only then.
// A child that opens the port as the library does (advisory lock, then TIOCEXCL) and
// waits to be killed.
pid_t Holder(const std::string& path) {
  return selvarn::testing::Holding([&] {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    return fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 && ioctl(fd, TIOCEXCL) == 0;
  });
}

// Whether the port stays exclusive for `wait` (true), or turns free within it (false).
bool StaysExclusive(const std::string& path, milliseconds wait) {
  for (const auto until = std::chrono::steady_clock::now() + wait;
       std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(10ms)) {
    if (!selvarn::testing::HeldExclusively(path)) return false;
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

  selvarn::testing::Kill(first);
  EXPECT_FALSE(StaysExclusive(sim.link_path(), 2000ms));

  // The next holder gets it, and the modem still answers it.
  const pid_t second = Holder(sim.link_path());
  EXPECT_GT(second, 0);
  selvarn::testing::Kill(second);
  Client client(sim.link_path());
  EXPECT_TRUE(Answers(client, "AT\r", "AT\r\r\nOK\r\n"));
}

}  // namespace
}  // namespace modemsim_test
