// Start-up, network check and closing against the simulated modem, with the lines on the wire.
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "modem/modem.hpp"
#include "modem/security.hpp"
#include "selvarn/sms.hpp"
#include "support/sim_port.hpp"

namespace selvarn {
namespace {

using modemsim::Fault;
using modemsim::SimState;
using std::chrono::milliseconds;

constexpr std::string_view kStartup = "AT\rAT+CPIN?\rAT+CSMS=0\rAT+CSQ\rAT+CSDH=1\rAT+CMGF=0\r\r";

// The lines of a plain start-up up to `line`, with "AT+CSMS=0" sent `csms` times.
std::string Upto(std::string_view line, int csms = 1) {
  std::string wire(kStartup.substr(0, kStartup.find(line) + line.size()));
  for (int i = 1; i < csms; ++i) wire.insert(wire.find("AT+CSMS=0\r"), "AT+CSMS=0\r");
  return wire;
}

class Startup : public testing::SimulatedModem {
 protected:
  std::int16_t Port() const { return static_cast<std::int16_t>(sim->port()); }
  SMS sms;
};

TEST_F(Startup, EveryOutcomeWithItsLinesAndTime) {
  using Options = modemsim::Options;
  const Options pin{.modem = {.sim = SimState::PinRequired}};
  const Options puk{.modem = {.sim = SimState::PukRequired}};
  const Options no_sim{.modem = {.sim = SimState::Absent}};
  const Fault error{.literal = "\r\nERROR\r\n"}, silent{.silent = true};
  const Fault refused{.literal = "\r\n+CMS ERROR: 500\r\n"};
  const std::string ends = Upto("\r\r"), asked = Upto("AT+CPIN?\r");
  using enum ModemStatus;
  struct Case {
    Options modem;
    const char* pin;
    ModemStatus result;
    std::string wire;
    std::int64_t min_s = 0, max_s = 2;  // fake seconds the call takes
    const char* fault_on = "AT+NONE";
    Fault fault{};
  } cases[] = {
      {{}, "1234", OK, ends},  // ready SIM: the PIN is not sent
      {{.speed = 9600}, "", OK, "AT\r" + ends, 7, 9},
      {pin, "1234", OK, asked + "AT+CPIN=1234\r" + ends.substr(12)},
      {pin, "", PINRequired, asked},
      {pin, "9999", PINWrong, asked + "AT+CPIN=9999\r"},
      {puk, "", SIMBlocked, asked},
      {no_sim, "", SIMError, asked},
      {{.modem = {.csms_busy = 13}}, "", OK, Upto("\r\r", 14), 91, 106},
      {{.modem = {.csms_busy = 14}}, "", Fail, Upto("AT+CSMS=0\r", 14), 91, 106},
      {{}, "", Fail, Upto("AT+CSMS=0\r"), 0, 2, "AT+CSMS", refused},  // 500: sent once
      {{}, "", Fail, Upto("AT+CSMS=0\r"), 7, 9, "AT+CSMS", silent},
      {{}, "", Fail, Upto("AT+CSQ\r"), 7, 9, "AT+CSQ", error},
      {{.modem = {.rssi = 0}}, "", Fail, Upto("AT+CSQ\r")},
      {{}, "", Fail, Upto("AT+CSDH=1\r"), 7, 9, "AT+CSDH", error},
      {{}, "", Fail, ends, 0, 2, "AT+CMGF", error},
      {{}, "", Fail, "AT\rAT\rAT\r", 21, 25, "AT", silent},
  };
  clock.real_sleep = milliseconds(2);  // time for the simulator to answer within a cycle or two
  int turns = 0;
  SetMessagePump([&] { ++turns; });
  for (auto& c : cases) {
    SCOPED_TRACE(c.wire);
    c.modem.port_folder = ports.path();
    sim = std::make_unique<modemsim::Simulator>(c.modem);
    sim->SetFault(c.fault_on, c.fault);
    turns = 0;
    const int sleeps = clock.sleeps;
    const std::int64_t t0 = clock.NowMs();
    EXPECT_EQ(sms.InitModem(Port(), c.pin), c.result);
    EXPECT_EQ(sim->Received(), c.wire);
    EXPECT_EQ(Modem::IsPortOpen(), c.result == OK);
    EXPECT_GE(clock.NowMs() - t0, c.min_s * 1000);
    EXPECT_LT(clock.NowMs() - t0, c.max_s * 1000);
    EXPECT_EQ(turns, clock.sleeps - sleeps) << "the pump turns in every cycle";
    sms.CloseModem();
  }
  SetMessagePump(nullptr);
}

// SIM PINs are 4 to 8 digits; nothing else is sent, so nothing can ride along with one.
TEST_F(Startup, APinOtherThanFourToEightDigitsIsNeverSent) {
  for (const char* pin :
       {"1234;+CMGD=1,4", "\"1234\"", " 1234", "123", "123456789", "12/4", "12:4"}) {
    SCOPED_TRACE(::testing::PrintToString(std::string(pin)));
    sim->SetSim(SimState::PinRequired, "1234");
    sim->ClearTranscript();
    EXPECT_EQ(sms.InitModem(Port(), pin), ModemStatus::PINWrong);
    EXPECT_EQ(sim->Received(), "AT\rAT+CPIN?\r");
  }
  sim->SetSim(SimState::PinRequired, "00000000");
  EXPECT_EQ(sms.InitModem(Port(), "00000000"), ModemStatus::OK);
}

TEST_F(Startup, PinAnswersAreReadWholeEvenInPieces) {
  struct Case {
    const char* answer;
    std::size_t cut;  // the rest follows 5 ms later
    std::int32_t code;
  } cases[] = {
      {"\r\n+CME ERROR: 3\r\n", 13, 1},  // accepted: the SIM was unlocked already
      {"\r\n+CME ERROR: 16\r\n", 13, 2}, {"\r\n+CME ERROR: 16\r\n", 15, 2},   // wrong
      {"\r\n+CME ERROR: 30\r\n", 14, 0}, {"\r\n+CME ERROR: 160\r\n", 14, 0},  // other errors
      {"\r\nERROR\r\n", 3, 0},           {"\r\nOK\r\n", 3, 1},
  };
  OpenPort();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    sim->SetFault("AT+CPIN=",
                  {.chunks = {c.cut}, .chunk_pause = milliseconds(5), .literal = c.answer});
    EXPECT_EQ(Security::EnterPIN("1234"), c.code);
  }
  sim->SetFault("AT+CPIN?", {.literal = "\r\nERROR\r\n"});
  sim->ClearTranscript();
  EXPECT_EQ(Security::CheckPIN(), 3) << "an error";
  EXPECT_EQ(sim->Received().size(), 12 * std::string_view("AT+CPIN?\r").size()) << "12 tries";
}

TEST_F(Startup, ACallWhileOpenOrOnABadPortFailsAtOnce) {
  ASSERT_EQ(sms.InitModem(Port()), ModemStatus::OK);
  sim->ClearTranscript();
  EXPECT_EQ(sms.InitModem(Port()), ModemStatus::Fail);
  EXPECT_FALSE(Modem::IsPortOpen());
  EXPECT_EQ(sms.InitModem(Port()), ModemStatus::OK) << "the next call starts afresh";
  EXPECT_EQ(sim->Received(), kStartup);
  sms.CloseModem();

  platform::MSComm holder;  // a port held by another opener
  holder.CommPort(Port());
  holder.PortOpen(true);
  for (const std::int16_t port : {std::int16_t{0}, std::int16_t{-1}, std::int16_t{77}, Port()}) {
    EXPECT_EQ(sms.InitModem(port, "1234"), ModemStatus::Fail) << port;
    EXPECT_FALSE(Modem::IsPortOpen());
  }
  EXPECT_TRUE(holder.PortOpen()) << "the other opener keeps it";
  EXPECT_EQ(sim->Received(), kStartup);
}

TEST_F(Startup, OnlyARegistrationEndingInOkKeepsThePortOpen) {
  struct Case {
    const char* answer;  // nullptr: none
    bool registered, open;
  } cases[] = {
      {"\r\n+CREG: 0,1\r\n\r\nOK\r\n", true, true},
      {"\r\n+CREG: 2,5,\"00C3\",\"1A2B\"\r\n\r\nOK\r\n", true, true},
      {"\r\n+CREG: 4,1\r\n\r\nOK\r\n", false, true},
      {"\r\n+CGREG: 0,1\r\n\r\nOK\r\n", false, true},
      {"\r\n+CREG: 0,2\r\n\r\nOK\r\n", false, true},
      {"\r\nERROR\r\n", false, false},
      {"\r\n+CREG: 0,1\r\n\r\nOK", false, false},
      {nullptr, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.answer ? c.answer : "silent"));
    if (!Modem::IsPortOpen()) OpenPort();
    sim->SetFault("AT+CREG?", c.answer ? Fault{.literal = c.answer} : Fault{.silent = true});
    sim->ClearTranscript();
    const std::int64_t t0 = clock.NowMs();
    EXPECT_EQ(sms.ConnectToGSM(), c.registered);
    EXPECT_EQ(Modem::IsPortOpen(), c.open);
    EXPECT_EQ(sim->Received(), "AT+CREG?\r");
    EXPECT_LE(clock.NowMs() - t0, 8050) << "never longer than the default limit";
  }
  EXPECT_TRUE(sms.CloseModem());
  EXPECT_FALSE(sms.ConnectToGSM()) << "a closed port: false, no error, nothing written";
  EXPECT_TRUE(sms.CloseModem());
  EXPECT_FALSE(sim->WaitReceived("AT+CREG?\rAT", milliseconds(50)));
}

TEST_F(Startup, ReleasingAnObjectClosesThePortOfEveryObjectOfItsThread) {
  OpenPort();
  auto first = std::make_unique<SMS>();
  EXPECT_TRUE(first->ConnectToGSM());
  EXPECT_TRUE(sms.ConnectToGSM()) << "the port opened for one serves the other";
  first.reset();
  EXPECT_FALSE(sms.ConnectToGSM());
  OpenPort();  // the device was really released: it opens again
  EXPECT_TRUE(sms.ConnectToGSM());
  std::thread([] { SMS there; }).join();
  EXPECT_TRUE(Modem::IsPortOpen()) << "another thread's object leaves ours alone";
}

}  // namespace
}  // namespace selvarn
