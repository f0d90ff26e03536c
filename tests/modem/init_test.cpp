// Modem start-up against the simulated modem: every outcome, with the lines on the wire.
#include <chrono>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "modem/modem.hpp"
#include "modem/security.hpp"
#include "selvarn/sms.hpp"
#include "support/sim_port.hpp"

namespace selvarn {
namespace {

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
  struct Case {
    const char* name;
    std::function<void(Simulator&)> setup;
    const char* pin;
    ModemStatus result;
    std::string wire;
    std::int64_t min_s = 0, max_s = 1;  // fake seconds the call takes
  } cases[] = {
      {"ready SIM, PIN not sent", {}, "1234", ModemStatus::OK, Upto("\r\r")},
      {"modem at 9600", [](Simulator& s) { s.SetSpeed(9600); }, "", ModemStatus::OK,
       "AT\r" + Upto("\r\r"), 7, 9},
      {"PIN entered", [](Simulator& s) { s.SetSim(SimState::PinRequired, "1234"); }, "1234",
       ModemStatus::OK, "AT\rAT+CPIN?\rAT+CPIN=1234\r" + Upto("\r\r").substr(12)},
      {"PIN needed, none given", [](Simulator& s) { s.SetSim(SimState::PinRequired, "1234"); }, "",
       ModemStatus::PINRequired, Upto("AT+CPIN?\r")},
      {"wrong PIN", [](Simulator& s) { s.SetSim(SimState::PinRequired, "1234"); }, "9999",
       ModemStatus::PINWrong, Upto("AT+CPIN?\r") + "AT+CPIN=9999\r"},
      {"PUK needed", [](Simulator& s) { s.SetSim(SimState::PukRequired); }, "1234",
       ModemStatus::SIMBlocked, Upto("AT+CPIN?\r")},
      {"no SIM", [](Simulator& s) { s.SetSim(SimState::Absent); }, "", ModemStatus::SIMError,
       Upto("AT+CPIN?\r")},
      {"SIM busy once", [](Simulator& s) { s.SetCsmsBusy(1); }, "", ModemStatus::OK,
       Upto("\r\r", 2), 7, 9},
      {"SIM busy 13 times", [](Simulator& s) { s.SetCsmsBusy(13); }, "", ModemStatus::OK,
       Upto("\r\r", 14), 91, 106},
      {"SIM busy 14 times", [](Simulator& s) { s.SetCsmsBusy(14); }, "", ModemStatus::Fail,
       Upto("AT+CSMS=0\r", 14), 91, 106},
      {"service refused",
       [](Simulator& s) { s.SetFault("AT+CSMS", {.literal = "\r\n+CMS ERROR: 500\r\n"}); }, "",
       ModemStatus::Fail, Upto("AT+CSMS=0\r")},
      {"service silent", [](Simulator& s) { s.SetFault("AT+CSMS", {.silent = true}); }, "",
       ModemStatus::Fail, Upto("AT+CSMS=0\r"), 7, 9},
      {"signal ERROR", [](Simulator& s) { s.SetFault("AT+CSQ", {.literal = "\r\nERROR\r\n"}); }, "",
       ModemStatus::Fail, Upto("AT+CSQ\r"), 7, 9},
      {"no signal", [](Simulator& s) { s.SetSignal(0); }, "", ModemStatus::Fail, Upto("AT+CSQ\r")},
      {"signal unknown", [](Simulator& s) { s.SetSignal(99); }, "", ModemStatus::OK, Upto("\r\r")},
      {"headers ERROR", [](Simulator& s) { s.SetFault("AT+CSDH", {.literal = "\r\nERROR\r\n"}); },
       "", ModemStatus::Fail, Upto("AT+CSDH=1\r"), 7, 9},
      {"PDU mode refused",
       [](Simulator& s) { s.SetFault("AT+CMGF", {.literal = "\r\nERROR\r\n"}); }, "",
       ModemStatus::Fail, Upto("\r\r")},
      {"no answer", [](Simulator& s) { s.SetFault("AT", {.silent = true}); }, "", ModemStatus::Fail,
       "AT\rAT\rAT\r", 21, 25},
  };
  int turns = 0;
  SetMessagePump([&] { ++turns; });
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim = std::make_unique<Simulator>(modemsim::Options{.port_folder = ports.path()});
    if (c.setup) c.setup(*sim);
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
      {"\r\n+CME ERROR: 3\r\n", 13, Security::kPinAccepted},  // already unlocked
      {"\r\n+CME ERROR: 16\r\n", 13, Security::kPinRejected},
      {"\r\n+CME ERROR: 16\r\n", 15, Security::kPinRejected},
      {"\r\n+CME ERROR: 30\r\n", 14, Security::kPinNoAnswer},
      {"\r\nERROR\r\n", 3, Security::kPinNoAnswer},
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
  EXPECT_EQ(Security::CheckPIN(), Security::kSimFailed);
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
