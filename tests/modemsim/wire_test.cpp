// What happens on the wire beyond plain answers: line speed, injected faults and their
// timing, ports that come and go, and the transcript.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "client.hpp"
#include "modemsim/simulator.hpp"

namespace modemsim_test {
namespace {

using selvarn::modemsim::Fault;
using selvarn::modemsim::Printable;
using selvarn::modemsim::Simulator;

const std::string kOk = "\r\nOK\r\n";
const std::string kCsq = "\r\n+CSQ: 20,99\r\n\r\nOK\r\n";

class Wire : public testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(Wire, SilentWhileThePortRunsAtAnotherSpeed) {
  Simulator sim({.port_folder = dir_.path, .speed = 9600});
  Client client(sim.link_path(), B115200);
  client.Write("AT\r");
  EXPECT_EQ(client.ReadFor(100ms), "");
  client.SetSpeed(B9600);
  EXPECT_TRUE(Answers(client, "AT\r", "AT\r" + kOk));
}

struct FaultCase {
  const char* name;
  Fault fault;
  std::string line;
  // Pieces after the echo, each with the earliest time (ms after the write) it may
  // begin to arrive; the bound above is generous so that a busy machine passes.
  std::vector<std::pair<std::string, int>> pieces;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

const FaultCase kFaults[] = {
    {"Delay", {.delay = 150ms}, "AT+CSQ\r", {{kCsq, 150}}},
    {"Chunks",
     {.chunks = {3, 5}, .chunk_pause = 80ms},
     "AT+CSQ\r",
     {{"\r\n+", 0}, {"CSQ: 20,", 80}, {"99\r\n\r\nOK\r\n", 160}}},
    {"LiteralCaseBlind", {.literal = "\r\n+CSQ: 0,0\r\n"}, "at+csq\r", {{"\r\n+CSQ: 0,0\r\n", 0}}},
    {"Tail",
     {.tail = "\r\nOK\r\n", .tail_after = 120ms},
     "AT+CPIN?\r",
     {{"\r\n+CPIN: READY\r\n\r\nOK\r\n", 0}, {"\r\nOK\r\n", 120}}},
    {"NoEchoKeepsAnswer", {.no_echo = true}, "AT+CSQ\r", {{kCsq, 0}}},
};

class Faults : public Wire, public testing::WithParamInterface<FaultCase> {};

TEST_P(Faults, ArriveAsInjected) {
  const FaultCase& c = GetParam();
  Simulator sim({.port_folder = dir_.path});
  sim.SetFault("AT+C", c.fault);
  Client client(sim.link_path());
  client.Write(c.line);
  const std::string echo = c.fault.no_echo ? "" : c.line;
  std::string expected = echo;
  for (const auto& piece : c.pieces) expected += piece.first;
  const auto arrivals = client.ReadTimed(expected, 2000ms);
  ASSERT_EQ(Printable(Join(arrivals)), Printable(expected));
  // Find the arrival that brought each piece's first byte.
  std::size_t offset = echo.size();
  for (const auto& [bytes, earliest] : c.pieces) {
    std::size_t seen = 0;
    std::int64_t at = -1;
    for (const Arrival& a : arrivals) {
      if ((seen += a.bytes.size()) > offset) {
        at = a.ms;
        break;
      }
    }
    EXPECT_GE(at, earliest - 5) << Printable(bytes);
    EXPECT_LT(at, earliest + 400) << Printable(bytes);
    offset += bytes.size();
  }
  EXPECT_EQ(client.ReadFor(30ms), "");
}

INSTANTIATE_TEST_SUITE_P(Kinds, Faults, testing::ValuesIn(kFaults),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Wire, SilentFaultsSkipTheCommandForTheirCount) {
  Simulator sim({.port_folder = dir_.path});
  sim.SetFault("AT+CMGF", {.silent = true, .count = 1});
  sim.SetFault("AT+CSDH", {.silent = true, .no_echo = true});
  Client client(sim.link_path());
  client.Write("AT+CMGF=1\r");
  EXPECT_EQ(client.ReadFor(100ms), "AT+CMGF=1\r");
  client.Write("AT+CSDH=1\r");
  EXPECT_EQ(client.ReadFor(60ms), "");
  EXPECT_EQ(sim.State().cmgf, 0);
  EXPECT_EQ(sim.State().csdh, 0);
  EXPECT_TRUE(Answers(client, "AT+CMGF=1\r", "AT+CMGF=1\r" + kOk));
  EXPECT_EQ(sim.State().cmgf, 1);
}

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
  const std::string received = "AT\rAT+CMGS=1\r0000\x1a";
  const std::string sent = "AT\r" + kOk + "AT+CMGS=1\r\r\n> 0000\x1a\r\n+CMS ERROR: 304\r\n";
  EXPECT_EQ(sim.Received(), received);
  EXPECT_EQ(sim.Sent(), sent);

  // One line per change of direction; the times are left out here.
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
}

TEST(Printable, ShowsControlBytes) {
  EXPECT_EQ(Printable("> +CMGS: 1\r\n"), "> +CMGS: 1<CR><LF>");
  EXPECT_EQ(Printable(std::string("\x1a\x1b\x00\x7f\x80\xff\t", 7)),
            "<^Z><ESC><0x00><0x7F><0x80><0xFF><0x09>");
}

}  // namespace
}  // namespace modemsim_test
