// Modem start-up against the simulated modem: every outcome, with the lines on the wire.
#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "modem/modem.hpp"
#include "modem/security.hpp"
#include "selvarn/sms.hpp"
#include "support/sim_port.hpp"

namespace selvarn {
namespace {

using modemsim::Fault;
using modemsim::SimState;
using modemsim::Simulator;
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
  const Options puk{.modem = {.sim = SimState::PukRequired}},
      no_sim{.modem = {.sim = SimState::Absent}};
  const Options busy13{.modem = {.csms_busy = 13}}, busy14{.modem = {.csms_busy = 14}};
  const Fault error{.literal = "\r\nERROR\r\n"}, silent{.silent = true};
  const Fault refused{.literal = "\r\n+CMS ERROR: 500\r\n"};
  const std::string ends = Upto("\r\r"), pin_asked = Upto("AT+CPIN?\r");
  struct Case {
    const char* name;
    Options modem;
    const char* pin;
    ModemStatus result;
    std::string wire;
    std::int64_t min_s = 0, max_s = 1;  // fake seconds the call takes
    const char* fault_on = "AT+NONE";
    Fault fault{};
  } cases[] = {
      {"ready SIM, PIN not sent", {}, "1234", ModemStatus::OK, ends},
      {"modem at 9600", {.speed = 9600}, "", ModemStatus::OK, "AT\r" + ends, 7, 9},
      {"PIN entered", pin, "1234", ModemStatus::OK, pin_asked + "AT+CPIN=1234\r" + ends.substr(12)},
      {"PIN needed, none given", pin, "", ModemStatus::PINRequired, pin_asked},
      {"wrong PIN", pin, "9999", ModemStatus::PINWrong, pin_asked + "AT+CPIN=9999\r"},
      {"PUK needed", puk, "", ModemStatus::SIMBlocked, pin_asked},
      {"no SIM", no_sim, "", ModemStatus::SIMError, pin_asked},
      {"SIM busy 13 times", busy13, "", ModemStatus::OK, Upto("\r\r", 14), 91, 106},
      {"SIM busy 14 times", busy14, "", ModemStatus::Fail, Upto("AT+CSMS=0\r", 14), 91, 106},
      {"service refused", {}, "", ModemStatus::Fail, Upto("AT+CSMS=0\r"), 0, 1, "AT+CSMS", refused},
      {"service silent", {}, "", ModemStatus::Fail, Upto("AT+CSMS=0\r"), 7, 9, "AT+CSMS", silent},
      {"signal ERROR", {}, "", ModemStatus::Fail, Upto("AT+CSQ\r"), 7, 9, "AT+CSQ", error},
      {"no signal", {.modem = {.rssi = 0}}, "", ModemStatus::Fail, Upto("AT+CSQ\r")},
      {"headers ERROR", {}, "", ModemStatus::Fail, Upto("AT+CSDH=1\r"), 7, 9, "AT+CSDH", error},
      {"PDU mode refused", {}, "", ModemStatus::Fail, ends, 0, 1, "AT+CMGF", error},
      {"no answer", {}, "", ModemStatus::Fail, "AT\rAT\rAT\r", 21, 25, "AT", silent},
  };
  int turns = 0;
  SetMessagePump([&] { ++turns; });
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.modem.port_folder = ports.path();
    sim = std::make_unique<Simulator>(c.modem);
    sim->SetFault(c.fault_on, c.fault);
    turns = 0;
    const int sleeps = clock.sleeps;
    const std::int64_t t0 = clock.NowMs();
    EXPECT_EQ(sms.InitModem(Port(), c.pin), c.result);
    EXPECT_EQ(sim->Received(), c.wire);
    EXPECT_EQ(Modem::IsPortOpen(), c.result == ModemStatus::OK);
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
       {";", "1234;+CMGD=1,4", "12,34", "\"1234\"", "OK", "12#4*", " 1234", "1234 ", "    ", "123",
        "123456789", "1234\rAT+CMGD=1,4", "1234\xc3\xa4"}) {
    SCOPED_TRACE(::testing::PrintToString(std::string(pin)));
    sim->SetSim(SimState::PinRequired, "1234");
    sim->ClearTranscript();
    EXPECT_EQ(sms.InitModem(Port(), pin), ModemStatus::PINWrong);
    EXPECT_FALSE(Modem::IsPortOpen());
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
      {"\r\n+CME ERROR: 3\r\n", 13, 1},   // accepted: the SIM was unlocked already
      {"\r\n+CME ERROR: 16\r\n", 13, 2},  // wrong
      {"\r\n+CME ERROR: 16\r\n", 15, 2}, {"\r\n+CME ERROR: 30\r\n", 14, 0},  // no usable answer
      {"\r\nERROR\r\n", 3, 0},
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

}  // namespace
}  // namespace selvarn
