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
  SMS sms;
};

TEST_F(Network, OnlyAnAnswerEndingInOkKeepsThePortOpen) {
  struct Case {
    modemsim::Fault fault;
    bool registered, open;
  } cases[] = {
      {{.literal = "\r\n+CREG: 0,1\r\n\r\nOK\r\n"}, true, true},
      {{.literal = "\r\n+CREG: 2,5,\"00C3\",\"1A2B\"\r\n\r\nOK\r\n"}, true, true},
      {{.literal = "\r\n+CREG: 0,2\r\n\r\nOK\r\n"}, false, true},
      {{.literal = "\r\nERROR\r\n"}, false, false},
      {{.literal = "\r\n+CME ERROR: 30\r\n"}, false, false},
      {{.literal = "\r\n+CREG: 0,1\r\n\r\nOK"}, false, false},
      {{.silent = true}, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.fault.literal));
    if (!Modem::IsPortOpen()) OpenPort();
    sim->SetFault("AT+CREG?", c.fault);
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

TEST_F(Network, ReleasingAnObjectClosesThePortOfEveryObjectOfItsThread) {
  auto first = std::make_unique<SMS>();
  EXPECT_TRUE(first->ConnectToGSM());
  EXPECT_TRUE(sms.ConnectToGSM()) << "the port opened for one serves the other";
  first.reset();
  EXPECT_FALSE(Modem::IsPortOpen());
  EXPECT_FALSE(sms.ConnectToGSM());
  OpenPort();  // the device was really released: it opens again
  EXPECT_TRUE(sms.ConnectToGSM());
  std::thread([] { SMS there; }).join();
  EXPECT_TRUE(Modem::IsPortOpen()) << "another thread's object leaves ours alone";
}

}  // namespace
}  // namespace selvarn
