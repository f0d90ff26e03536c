// What happens on the wire beyond plain answers: line speed, injected faults and their
// timing, ports that come and go, and the transcript.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <thread>

#include "client.hpp"
#include "modemsim/simulator.hpp"

namespace modemsim_test {
namespace {

using namespace std::chrono_literals;
using selvarn::modemsim::Direction;
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
  // The speed is checked as bytes arrive: back at 115200 the modem is deaf again.
  client.SetSpeed(B115200);
  client.Write("AT\r");
  EXPECT_EQ(client.ReadFor(60ms), "");
  sim.SetSpeed(0);
  EXPECT_TRUE(Answers(client, "AT\r", "AT\r" + kOk));
  EXPECT_THROW(sim.SetSpeed(12345), std::invalid_argument);
}

struct FaultCase {
  const char* name;
  Fault fault;
  std::string line;
  // Pieces expected after the echo, each with the earliest time (ms after the write)
  // it may arrive; the bound above is generous so a busy machine does not fail it.
  std::vector<std::pair<std::string, int>> pieces;
  bool echo = true;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

const FaultCase kFaults[] = {
    {"Delay", {.delay = 150ms}, "AT+CSQ\r", {{kCsq, 150}}},
    {"Chunks",
     {.chunks = {3, 5}, .chunk_pause = 80ms},
     "AT+CSQ\r",
     {{"\r\n+", 0}, {"CSQ: 20,", 80}, {"99\r\n\r\nOK\r\n", 160}}},
    {"DelayedChunks",
     {.delay = 50ms, .chunks = {2}, .chunk_pause = 60ms},
     "AT\r",
     {{"\r\n", 50}, {"OK\r\n", 110}}},
    {"Literal",
     {.literal = "\r\n+CSQ: 0,0\r\n\r\nOK\r\n"},
     "AT+CSQ\r",
     {{"\r\n+CSQ: 0,0\r\n\r\nOK\r\n", 0}}},
    {"Tail",
     {.tail = "\r\nOK\r\n", .tail_after = 120ms},
     "AT+CPIN?\r",
     {{"\r\n+CPIN: READY\r\n\r\nOK\r\n", 0}, {"\r\nOK\r\n", 120}}},
    {"LiteralThenTail",
     {.literal = "\r\n+CPIN:", .tail = " READY\r\n\r\nOK\r\n", .tail_after = 100ms},
     "AT+CPIN?\r",
     {{"\r\n+CPIN:", 0}, {" READY\r\n\r\nOK\r\n", 100}}},
    {"CaseBlindPrefix", {.literal = "X"}, "at+csq\r", {{"X", 0}}},
    {"NoEchoKeepsAnswer", {.no_echo = true}, "AT+CSQ\r", {{kCsq, 0}}, false},
};

class Faults : public Wire, public testing::WithParamInterface<FaultCase> {};

TEST_P(Faults, ArriveAsInjected) {
  const FaultCase& c = GetParam();
  Simulator sim({.port_folder = dir_.path});
  sim.SetFault("AT+C", c.fault);
  sim.SetFault("AT", c.fault);
  Client client(sim.link_path());
  client.Write(c.line);
  std::string all_expected = c.echo ? c.line : "";
  for (const auto& piece : c.pieces) all_expected += piece.first;
  auto arrivals = client.ReadTimed(all_expected, 2000ms);
  std::string all = Join(arrivals);
  ASSERT_EQ(all, all_expected);
  // Walk the pieces through the arrivals, checking when each began to arrive.
  std::size_t offset = c.echo ? c.line.size() : 0;
  for (const auto& [bytes, earliest] : c.pieces) {
    std::size_t seen = 0;
    std::int64_t at = -1;
    for (const Arrival& a : arrivals) {
      if (seen + a.bytes.size() > offset) {
        at = a.ms;
        break;
      }
      seen += a.bytes.size();
    }
    EXPECT_GE(at, earliest - 5) << Printable(bytes);
    EXPECT_LT(at, earliest + 400) << Printable(bytes);
    offset += bytes.size();
  }
  EXPECT_EQ(client.ReadFor(30ms), "");
}

INSTANTIATE_TEST_SUITE_P(Kinds, Faults, testing::ValuesIn(kFaults),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Wire, SilentFaultsSkipTheCommand) {
  Simulator sim({.port_folder = dir_.path});
  sim.SetFault("AT+CMGF", {.silent = true, .count = 1});
  sim.SetFault("AT+CSDH", {.silent = true, .no_echo = true, .count = 1});
  Client client(sim.link_path());
  client.Write("AT+CMGF=1\r");
  EXPECT_EQ(client.ReadFor(100ms), "AT+CMGF=1\r");
  client.Write("AT+CSDH=1\r");
  EXPECT_EQ(client.ReadFor(60ms), "");
  EXPECT_EQ(sim.State().cmgf, 0);
  EXPECT_EQ(sim.State().csdh, 0);
  // Each fault was for one command only.
  EXPECT_TRUE(Answers(client, "AT+CMGF=1\r", "AT+CMGF=1\r" + kOk));
  EXPECT_TRUE(Answers(client, "AT+CSDH=1\r", "AT+CSDH=1\r" + kOk));
  EXPECT_EQ(sim.State().cmgf, 1);
}

TEST_F(Wire, LiteralDoesNotRunTheCommandAndEndsEntry) {
  Simulator sim({.port_folder = dir_.path, .modem = {.echo = false}});
  sim.SetFault("AT+CPIN=", {.literal = "\r\nOK\r\n"});
  sim.SetFault("00", {.literal = "\r\n+CMS ERROR: 500\r\n"});
  Client client(sim.link_path());
  EXPECT_TRUE(Answers(client, "AT+CPIN=9999\r", kOk));
  EXPECT_EQ(sim.State().pin_tries_left, 3);
  EXPECT_TRUE(Answers(client, "AT+CMGS=1\r", "\r\n> "));
  EXPECT_TRUE(Answers(client, "0000\x1a", "\r\n+CMS ERROR: 500\r\n"));
  EXPECT_TRUE(sim.State().submitted.empty());
  EXPECT_TRUE(Answers(client, "AT\r", kOk));
}

TEST_F(Wire, LongestPrefixWinsAndCountsRunOut) {
  Simulator sim({.port_folder = dir_.path, .modem = {.echo = false}});
  sim.SetFault("AT+CPIN", {.literal = "A", .count = 2});
  sim.SetFault("AT+CPIN?", {.literal = "B"});
  Client client(sim.link_path());
  EXPECT_TRUE(Answers(client, "AT+CPIN?\r", "B"));
  EXPECT_TRUE(Answers(client, "AT+CPIN=1\r", "A"));
  EXPECT_TRUE(Answers(client, "AT+CPIN=1\r", "A"));
  EXPECT_TRUE(Answers(client, "AT+CPIN=1\r", "\r\n+CME ERROR: 3\r\n"));
  EXPECT_TRUE(Answers(client, "AT+CPIN?\r", "B"));
  sim.ClearFaults();
  EXPECT_TRUE(Answers(client, "AT+CPIN?\r", "\r\n+CPIN: READY\r\n" + kOk));
  EXPECT_THROW(sim.SetFault("", {}), std::invalid_argument);
  EXPECT_THROW(sim.SetFault("AT", {.chunks = {2, 0}}), std::invalid_argument);
}

TEST_F(Wire, NextAnswerWaitsForADelayedOne) {
  Simulator sim({.port_folder = dir_.path, .modem = {.echo = false}});
  sim.SetFault("AT+CSQ", {.delay = 100ms});
  Client client(sim.link_path());
  client.Write("AT+CSQ\rAT\r");
  EXPECT_EQ(client.Read(kCsq.size() + kOk.size()), kCsq + kOk);
}

TEST_F(Wire, UnsolicitedBytesAndFlood) {
  Simulator sim({.port_folder = dir_.path});
  Client client(sim.link_path());
  sim.Send("\r\nRING\r\n", 80ms);
  auto arrivals = client.ReadTimed("RING\r\n", 1000ms);
  ASSERT_EQ(Join(arrivals), "\r\nRING\r\n");
  EXPECT_GE(arrivals.front().ms, 75);

  sim.StartFlood("x", 5ms);
  std::string flood = client.ReadFor(150ms);
  sim.StopFlood();
  EXPECT_GE(flood.size(), 5u);
  EXPECT_EQ(flood.find_first_not_of('x'), std::string::npos);
  client.ReadFor(50ms);
  EXPECT_EQ(client.ReadFor(40ms), "");
}

TEST_F(Wire, FloodDoesNotBlockWhenNobodyReads) {
  Simulator sim({.port_folder = dir_.path});
  sim.StartFlood(std::string(1000, 'x'), 1ms);
  std::this_thread::sleep_for(100ms);
  sim.StopFlood();
  // The serving thread is still alive and answering.
  sim.SetFault("AT", {.literal = "Q"});
  Client client(sim.link_path());
  client.ReadFor(20ms);
  client.Write("AT\r");
  EXPECT_TRUE(sim.WaitSent("AT\rQ", 1000ms));
}

TEST_F(Wire, SurvivesTheClientClosingAndReopening) {
  Simulator sim({.port_folder = dir_.path});
  for (int round = 0; round < 5; ++round) {
    Client client(sim.link_path());
    EXPECT_TRUE(Answers(client, "AT\r", "AT\r" + kOk)) << round;
  }
  // Bytes the modem sends while the port is closed wait in the line for the next opener.
  sim.Send("late");
  ASSERT_TRUE(sim.WaitSent("late", 1000ms));
  Client client(sim.link_path());
  EXPECT_EQ(client.Read(4), "late");
  EXPECT_TRUE(Answers(client, "AT\r", "AT\r" + kOk));
}

TEST_F(Wire, PortsAreNumberedAndLinksRemoved) {
  std::string first_link;
  {
    Simulator a({.port_folder = dir_.path});
    Simulator b({.port_folder = dir_.path});
    EXPECT_EQ(a.port(), 1);
    EXPECT_EQ(b.port(), 2);
    EXPECT_EQ(a.link_path(), dir_.path + "/com1");
    EXPECT_EQ(std::filesystem::read_symlink(b.link_path()), b.device_path());
    EXPECT_THROW(Simulator({.port_folder = dir_.path, .port = 2}), std::system_error);
    Simulator c({.port_folder = dir_.path, .port = 7});
    EXPECT_EQ(c.link_path(), dir_.path + "/com7");
    first_link = a.link_path();
    // Each answers on its own port.
    Client ca(a.link_path());
    Client cb(b.link_path());
    a.SetEcho(false);
    EXPECT_TRUE(Answers(cb, "AT\r", "AT\r" + kOk));
    EXPECT_TRUE(Answers(ca, "AT\r", kOk));
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path));
  // A number freed is taken again.
  Simulator d({.port_folder = dir_.path});
  EXPECT_EQ(d.link_path(), first_link);
}

TEST_F(Wire, DefaultFolderFromTheEnvironment) {
  const std::string folder = dir_.path + "/made/on/demand";
  ASSERT_EQ(setenv("SELVARN_SMS_PORTS", folder.c_str(), 1), 0);
  {
    Simulator sim;
    EXPECT_EQ(sim.link_path(), folder + "/com1");
  }
  unsetenv("SELVARN_SMS_PORTS");
  const std::string config = dir_.path + "/config";
  ASSERT_EQ(setenv("XDG_CONFIG_HOME", config.c_str(), 1), 0);
  {
    Simulator sim;
    EXPECT_EQ(sim.link_path(), config + "/selvarn-sms/ports/com1");
  }
  unsetenv("XDG_CONFIG_HOME");
}

TEST_F(Wire, TranscriptKeepsEveryByteInOrder) {
  Simulator sim({.port_folder = dir_.path});
  Client client(sim.link_path());
  const std::string received = "AT\rAT+CMGS=1\r0000\x1a";
  const std::string sent = "AT\r" + kOk + "AT+CMGS=1\r\r\n> 0000\x1a\r\n+CMGS: 1\r\n" + kOk;
  ASSERT_TRUE(Answers(client, "AT\r", "AT\r" + kOk));
  ASSERT_TRUE(Answers(client, "AT+CMGS=1\r", "AT+CMGS=1\r\r\n> "));
  ASSERT_TRUE(Answers(client, "0000\x1a", "0000\x1a\r\n+CMGS: 1\r\n" + kOk));
  EXPECT_EQ(sim.Received(), received);
  EXPECT_EQ(sim.Sent(), sent);
  std::string to_modem, from_modem;
  std::int64_t last_ms = 0;
  for (const auto& entry : sim.Transcript()) {
    (entry.direction == Direction::ToModem ? to_modem : from_modem) += entry.bytes;
    EXPECT_GE(entry.ms, last_ms);
    last_ms = entry.ms;
  }
  EXPECT_EQ(to_modem, received);
  EXPECT_EQ(from_modem, sent);

  // One line per change of direction, times left out.
  std::string printed = sim.PrintableTranscript();
  std::string shape;
  for (std::size_t pos = 0; pos < printed.size();) {
    std::size_t end = printed.find('\n', pos);
    std::string line = printed.substr(pos, end - pos);
    shape += line.substr(line.find(" ms ") + 4) + "\n";
    pos = end + 1;
  }
  EXPECT_EQ(shape,
            "host  AT<CR>\n"
            "modem AT<CR><CR><LF>OK<CR><LF>\n"
            "host  AT+CMGS=1<CR>\n"
            "modem AT+CMGS=1<CR><CR><LF>> \n"
            "host  0000<^Z>\n"
            "modem 0000<^Z><CR><LF>+CMGS: 1<CR><LF><CR><LF>OK<CR><LF>\n");

  EXPECT_TRUE(sim.WaitReceived("CMGS=1", 0ms));
  EXPECT_FALSE(sim.WaitReceived("CSQ", 30ms));
  sim.ClearTranscript();
  EXPECT_TRUE(sim.Transcript().empty());
  EXPECT_EQ(sim.Received(), "");
  client.Write("AT+CSQ\r");
  EXPECT_TRUE(sim.WaitReceived("AT+CSQ\r", 1000ms));
  EXPECT_TRUE(sim.WaitSent("OK\r\n", 1000ms));
}

TEST(Printable, ShowsControlBytes) {
  const std::pair<std::string, std::string> cases[] = {
      {"AT\r\n", "AT<CR><LF>"},
      {std::string("\x1a\x1b\x00\x7f", 4), "<^Z><ESC><0x00><0x7F>"},
      {"\x80\xff\t", "<0x80><0xFF><0x09>"},
      {"> +CMGS: 12", "> +CMGS: 12"},
  };
  for (const auto& [bytes, shown] : cases) EXPECT_EQ(Printable(bytes), shown);
}

}  // namespace
}  // namespace modemsim_test
