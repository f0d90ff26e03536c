// Network check, closing and release against the simulated modem.
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "modem/modem.hpp"
#include "selvarn/sms.hpp"
#include "support/sim_port.hpp"

namespace selvarn {
namespace {

using std::chrono::milliseconds;

class Network : public testing::SimulatedModem {
 protected:
  void SetUp() override {
    SimulatedModem::SetUp();
    OpenPort();
  }
};

TEST_F(Network, RegisteredHomeOrRoamingInAnyReportingMode) {
  SMS sms;
  for (int mode = 0; mode <= 3; ++mode) {
    for (int state = 0; state <= 5; ++state) {
      SCOPED_TRACE(::testing::Message() << "+CREG: " << mode << "," << state);
      sim->SetRegistration(mode, state);
      sim->ClearTranscript();
      EXPECT_EQ(sms.ConnectToGSM(), state == 1 || state == 5);
      EXPECT_EQ(sim->Received(), "AT+CREG?\r");
      EXPECT_TRUE(Modem::IsPortOpen()) << "an answer ending in OK keeps the port open";
    }
  }
}

TEST_F(Network, ARefusedOrMissingAnswerClosesThePort) {
  struct Case {
    const char* name;
    modemsim::Fault fault;
  } cases[] = {
      {"ERROR", {.literal = "\r\nERROR\r\n"}},
      {"CME error", {.literal = "\r\n+CME ERROR: 30\r\n"}},
      {"silence", {.silent = true}},
      {"OK without line end", {.literal = "\r\n+CREG: 0,1\r\n\r\nOK"}},
  };
  SMS sms;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!Modem::IsPortOpen()) OpenPort();
    sim->SetFault("AT+CREG?", c.fault);
    const std::int64_t t0 = clock.NowMs();
    EXPECT_FALSE(sms.ConnectToGSM());
    EXPECT_FALSE(Modem::IsPortOpen());
    EXPECT_LE(clock.NowMs() - t0, 8050) << "never longer than the default limit";
  }
}

TEST_F(Network, AClosedPortIsFalseWithoutAnErrorOrAWrite) {
  SMS sms;
  EXPECT_TRUE(sms.CloseModem());
  EXPECT_FALSE(Modem::IsPortOpen());
  EXPECT_FALSE(sms.ConnectToGSM());
  EXPECT_TRUE(sms.CloseModem()) << "closing a closed port is fine";
  EXPECT_FALSE(sim->WaitReceived("AT", milliseconds(50)));
}

TEST_F(Network, ObjectsOfOneThreadShareThePortAndReleasingOneClosesIt) {
  auto first = std::make_unique<SMS>();
  SMS second;
  EXPECT_TRUE(first->ConnectToGSM());
  EXPECT_TRUE(second.ConnectToGSM()) << "the port opened for one serves the other";
  first.reset();
  EXPECT_FALSE(platform::HostLoaded()) << "releasing an object unloads the host";
  EXPECT_FALSE(Modem::IsPortOpen()) << "a fresh host has its port closed";
  EXPECT_FALSE(second.ConnectToGSM());
  OpenPort();  // the device was really released: it opens again
  EXPECT_TRUE(second.ConnectToGSM());
}

TEST_F(Network, AnotherThreadHasItsOwnPort) {
  SMS here;
  EXPECT_TRUE(here.ConnectToGSM());
  bool other_open = true;
  std::thread([&] {
    SMS there;
    other_open = Modem::IsPortOpen();
  }).join();
  EXPECT_FALSE(other_open);
  EXPECT_TRUE(Modem::IsPortOpen()) << "releasing an object of another thread leaves ours";
}

}  // namespace
}  // namespace selvarn
