// Modem start-up against the simulated modem: every outcome, with the lines on the wire.
#include <string>

#include <gtest/gtest.h>

#include "modem/modem.hpp"
#include "selvarn/sms.hpp"
#include "support/sim_port.hpp"

namespace selvarn {
namespace {

using modemsim::Fault;
using modemsim::SimState;

constexpr const char* kStartup = "AT\rAT+CPIN?\rAT+CSMS=0\rAT+CSQ\rAT+CSDH=1\rAT+CMGF=0\r\r";

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class Startup : public testing::SimulatedModem {
 protected:
  void SetUp() override {
    SimulatedModem::SetUp();
    port = static_cast<std::int16_t>(sim->port());
  }
  std::int16_t port = 0;
  SMS sms;
};

TEST_F(Startup, ASuccessfulStartLeavesThePortOpenInPduMode) {
  EXPECT_EQ(sms.InitModem(port), ModemStatus::OK);
  EXPECT_EQ(sim->Received(), kStartup);
  EXPECT_TRUE(Modem::IsPortOpen());
  EXPECT_EQ(sim->State().cmgf, 0);
  EXPECT_EQ(sim->State().csdh, 1);
  EXPECT_EQ(Modem::strResponse, "");
  EXPECT_TRUE(sms.ConnectToGSM()) << "the modem is usable afterwards";
}

TEST_F(Startup, APinIsEnteredWhenTheSimAsksForIt) {
  sim->SetSim(SimState::PinRequired, "1234");
  EXPECT_EQ(sms.InitModem(port, "1234"), ModemStatus::OK);
  EXPECT_EQ(sim->Received(),
            "AT\rAT+CPIN?\rAT+CPIN=1234\rAT+CSMS=0\rAT+CSQ\rAT+CSDH=1\rAT+CMGF=0\r\r");
  EXPECT_EQ(sim->State().sim, SimState::Ready);
}

TEST_F(Startup, APinIsNotSentToAReadySim) {
  EXPECT_EQ(sms.InitModem(port, "1234"), ModemStatus::OK);
  EXPECT_EQ(sim->Received(), kStartup);
}

TEST_F(Startup, PrintablePinsOtherThanDigitsGoOutUnchanged) {
  sim->SetSim(SimState::PinRequired, "12#4*");
  EXPECT_EQ(sms.InitModem(port, "12#4*"), ModemStatus::OK);
  EXPECT_EQ(Count(sim->Received(), "AT+CPIN=12#4*\r"), 1u);
}

TEST_F(Startup, SimOutcomesCloseThePort) {
  struct Case {
    const char* name;
    SimState sim;
    const char* pin;
    ModemStatus result;
    const char* wire;
  } cases[] = {
      {"PIN needed, none given", SimState::PinRequired, "", ModemStatus::PINRequired,
       "AT\rAT+CPIN?\r"},
      {"wrong PIN", SimState::PinRequired, "9999", ModemStatus::PINWrong,
       "AT\rAT+CPIN?\rAT+CPIN=9999\r"},
      {"PUK needed", SimState::PukRequired, "1234", ModemStatus::SIMBlocked, "AT\rAT+CPIN?\r"},
      {"no SIM", SimState::Absent, "1234", ModemStatus::SIMError, "AT\rAT+CPIN?\r"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim->SetSim(c.sim, "1234");
    sim->ClearTranscript();
    EXPECT_EQ(sms.InitModem(port, c.pin), c.result);
    EXPECT_FALSE(Modem::IsPortOpen());
    EXPECT_EQ(sim->Received(), c.wire) << "nothing is sent after the SIM's verdict";
  }
}

TEST_F(Startup, TwelvePlainErrorsToTheStatusQueryAreASimError) {
  sim->SetFault("AT+CPIN?", {.literal = "\r\nERROR\r\n"});
  EXPECT_EQ(sms.InitModem(port), ModemStatus::SIMError);
  EXPECT_EQ(Count(sim->Received(), "AT+CPIN?\r"), 12u);
  EXPECT_FALSE(Modem::IsPortOpen());
}

TEST_F(Startup, ThePinEntryAnswerIsJudgedByItsWholeErrorNumber) {
  struct Case {
    const char* answer;
    ModemStatus result;
  } cases[] = {
      {"\r\n+CME ERROR: 3\r\n", ModemStatus::OK},  // already unlocked
      {"\r\n+CME ERROR: 16\r\n", ModemStatus::PINWrong},
      {"\r\n+CME ERROR: 30\r\n", ModemStatus::PINWrong},  // not an accepted PIN
      {"\r\n+CME ERROR: 32\r\n", ModemStatus::PINWrong},
      {"\r\n+CME ERROR: 160\r\n", ModemStatus::PINWrong},
      {"\r\nERROR\r\n", ModemStatus::PINWrong},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    if (Modem::IsPortOpen()) sms.CloseModem();
    // The SIM says it wants its PIN; the entry gets the answer under test.
    sim->SetFault("AT+CPIN?", {.literal = "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n"});
    sim->SetFault("AT+CPIN=", {.literal = c.answer});
    EXPECT_EQ(sms.InitModem(port, "1234"), c.result);
    EXPECT_EQ(Modem::IsPortOpen(), c.result == ModemStatus::OK);
  }
}

TEST_F(Startup, PinsWithControlOrNonAsciiCharactersAreNeverSent) {
  for (const char* pin : {"1234\rAT+CMGD=1,4", "1234\n", "12\x1a",
                          "\x1b"
                          "1234",
                          "12\x7f", "12\x01", "1234\xc3\xa4"}) {
    SCOPED_TRACE(::testing::PrintToString(std::string(pin)));
    sim->SetSim(SimState::PinRequired, "1234");
    sim->ClearTranscript();
    EXPECT_EQ(sms.InitModem(port, pin), ModemStatus::PINWrong);
    EXPECT_FALSE(Modem::IsPortOpen());
    EXPECT_EQ(sim->Received(), "AT\rAT+CPIN?\r");
  }
}

TEST_F(Startup, NoAnswerAtEitherSpeedIsThreeProbesThenFail) {
  sim->SetFault("AT", {.silent = true});
  const std::int64_t t0 = clock.NowMs();
  EXPECT_EQ(sms.InitModem(port), ModemStatus::Fail);
  EXPECT_EQ(sim->Received(), "AT\rAT\rAT\r");
  EXPECT_FALSE(Modem::IsPortOpen());
  EXPECT_GT(clock.NowMs() - t0, 3 * 7000);
  EXPECT_LE(clock.NowMs() - t0, 3 * 8050);
}

TEST_F(Startup, AModemFixedAt9600AnswersTheSecondProbe) {
  sim->SetSpeed(9600);
  EXPECT_EQ(sms.InitModem(port), ModemStatus::OK);
  EXPECT_EQ(sim->Received(), std::string("AT\r") + kStartup);
  EXPECT_EQ(platform::frmATC().GSM.Settings(), "9600,N,8,1");
  EXPECT_TRUE(Modem::IsPortOpen());
}

TEST_F(Startup, TheSmsServiceIsAskedAgainWhileTheSimIsBusy) {
  struct Case {
    int busy;
    ModemStatus result;
    std::size_t sends;
  } cases[] = {{1, ModemStatus::OK, 2}, {13, ModemStatus::OK, 14}, {14, ModemStatus::Fail, 14}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.busy);
    if (Modem::IsPortOpen()) sms.CloseModem();
    sim->SetCsmsBusy(c.busy);
    sim->ClearTranscript();
    const std::int64_t t0 = clock.NowMs();
    EXPECT_EQ(sms.InitModem(port), c.result);
    EXPECT_EQ(Count(sim->Received(), "AT+CSMS=0\r"), c.sends);
    const std::int64_t pauses = static_cast<std::int64_t>(c.sends) - 1;
    EXPECT_GT(clock.NowMs() - t0, pauses * 7000) << "7 to 8 s between sends";
    EXPECT_LT(clock.NowMs() - t0, pauses * 8050 + 2000);
    EXPECT_EQ(Modem::IsPortOpen(), c.result == ModemStatus::OK);
  }
}

TEST_F(Startup, OtherRefusalsFailAndClose) {
  struct Case {
    const char* name;
    const char* command;
    Fault fault;
  } cases[] = {
      {"service refused", "AT+CSMS=0", {.literal = "\r\n+CMS ERROR: 500\r\n"}},
      {"service silent", "AT+CSMS=0", {.silent = true}},
      {"signal ERROR", "AT+CSQ", {.literal = "\r\nERROR\r\n"}},
      {"signal silent", "AT+CSQ", {.silent = true}},
      {"headers ERROR", "AT+CSDH=1", {.literal = "\r\nERROR\r\n"}},
      {"PDU mode refused", "AT+CMGF=0", {.literal = "\r\nERROR\r\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim->ClearFaults();
    sim->SetFault(c.command, c.fault);
    sim->ClearTranscript();
    EXPECT_EQ(sms.InitModem(port), ModemStatus::Fail);
    EXPECT_FALSE(Modem::IsPortOpen());
    const std::string wire = sim->Received();
    EXPECT_EQ(wire.substr(wire.rfind("AT")),
              std::string(c.command) + "\r" + (std::string(c.command) == "AT+CMGF=0" ? "\r" : ""))
        << "it stops at the refused command";
  }
}

TEST_F(Startup, NoSignalFailsWhileAnyOtherLevelGoesOn) {
  struct Case {
    int rssi;
    ModemStatus result;
  } cases[] = {
      {0, ModemStatus::Fail}, {99, ModemStatus::OK}, {1, ModemStatus::OK}, {31, ModemStatus::OK}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rssi);
    if (Modem::IsPortOpen()) sms.CloseModem();
    sim->SetSignal(c.rssi);
    EXPECT_EQ(sms.InitModem(port), c.result);
    EXPECT_EQ(Modem::IsPortOpen(), c.result == ModemStatus::OK);
  }
}

TEST_F(Startup, ASecondCallWhileOpenFailsAtOnceAndTheNextStartsAfresh) {
  ASSERT_EQ(sms.InitModem(port), ModemStatus::OK);
  sim->ClearTranscript();
  EXPECT_EQ(sms.InitModem(port), ModemStatus::Fail);
  EXPECT_FALSE(Modem::IsPortOpen());
  EXPECT_EQ(sim->Received(), "");
  EXPECT_EQ(sms.InitModem(port), ModemStatus::OK);
  EXPECT_EQ(sim->Received(), kStartup);
}

TEST_F(Startup, BadPortsFailWithoutAnError) {
  for (const std::int16_t bad : {0, -1, 77}) {  // invalid, invalid, no such device
    SCOPED_TRACE(bad);
    EXPECT_EQ(sms.InitModem(bad, "1234"), ModemStatus::Fail);
    EXPECT_FALSE(Modem::IsPortOpen());
  }
  platform::MSComm holder;  // a port held by another opener
  holder.CommPort(port);
  holder.PortOpen(true);
  EXPECT_EQ(sms.InitModem(port, "1234"), ModemStatus::Fail);
  EXPECT_FALSE(Modem::IsPortOpen());
  EXPECT_TRUE(holder.PortOpen()) << "the other opener keeps it";
  EXPECT_EQ(sim->Received(), "");
}

}  // namespace
}  // namespace selvarn
