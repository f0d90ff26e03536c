// Signal and registration read from answers as modems give them.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "gateway/radio.hpp"
#include "selvarn/gateway.hpp"
#include "support/files.hpp"
#include "support/sim_port.hpp"

namespace selvarn::gateway {
namespace {

TEST(RadioAnswers, Signal) {
  const std::pair<const char*, std::optional<int>> cases[] = {
      {"\r\n+CSQ: 17,99\r\n\r\nOK\r\n", 17},
      {"AT+CSQ\r\r\n+CSQ: 31,0\r\n\r\nOK\r\n", 31},     // echoed
      {"\r\n+CSQ:0,99\r\n\r\nOK\r\n", 0},               // no space
      {"\r\n+CSQ: 99,99\r\n\r\nOK\r\n", std::nullopt},  // not known
      {"\r\n+CSQ: 32,99\r\n\r\nOK\r\n", std::nullopt},  // out of range
      {"\r\n+CSQ: ,\r\n\r\nOK\r\n", std::nullopt},
      {"\r\nERROR\r\n", std::nullopt},
      {"AT+CSQ\r\r\nOK\r\n", std::nullopt},
  };
  for (const auto& [reply, expected] : cases) EXPECT_EQ(SignalOf(reply), expected) << reply;
}

TEST(RadioAnswers, Registration) {
  const std::pair<const char*, const char*> cases[] = {
      {"\r\n+CREG: 0,1\r\n\r\nOK\r\n", "home"},
      {"\r\n+CREG: 2,5,\"1A2B\",\"01C3D4E5\",7\r\n\r\nOK\r\n", "roaming"},
      {"\r\n+CREG: 1,2\r\n\r\nOK\r\n", "searching"},
      {"\r\n+CREG: 0,3\r\n\r\nOK\r\n", "denied"},
      {"\r\n+CREG: 0,0\r\n\r\nOK\r\n", "none"},
      {"\r\n+CREG: 0,4\r\n\r\nOK\r\n", "unknown"},
      {"\r\n+CREG: 0,6\r\n\r\nOK\r\n", "home"},      // SMS only
      {"\r\n+CREG: 0,10\r\n\r\nOK\r\n", "roaming"},  // CSFB not preferred
      {"\r\n+CREG: 0,8\r\n\r\nOK\r\n", "unknown"},   // emergency calls only
      {"\r\n+CREG:1,5\r\n\r\nOK\r\n", "roaming"},    // no space
      // The unsolicited form in place of the answer: the state comes first.
      {"\r\n+CREG: 5,\"1A2B\",\"01C3D4E5\"\r\n\r\nOK\r\n", "roaming"},
      {"\r\n+CREG: 1\r\n\r\nOK\r\n", "home"},
      {"\r\n+CREG: 0,x\r\n\r\nOK\r\n", "unknown"},
      {"\r\nERROR\r\n", "unknown"},
  };
  for (const auto& [reply, expected] : cases) EXPECT_EQ(RegistrationOf(reply), expected) << reply;
}

class RadioOfASession : public testing::SimulatedModem {
 protected:
  testing::TempDir dir;
};

// Asked of the simulated modem: what it says, and a modem that stays silent, which is closed.
TEST_F(RadioOfASession, AskedOnTheWire) {
  ::selvarn::Gateway gw(
      {.port = static_cast<std::int16_t>(sim->port()), .store = dir.path + "/m.db"});
  ASSERT_EQ(gw.Open(), ModemStatus::OK);
  struct Case {
    int rssi, mode, stat;
    std::optional<int> signal;
    const char* registration;
  } const cases[] = {
      {17, 0, 1, 17, "home"}, {99, 2, 5, std::nullopt, "roaming"}, {3, 0, 2, 3, "searching"}};
  for (const Case& c : cases) {
    sim->SetSignal(c.rssi);
    sim->SetRegistration(c.mode, c.stat);
    sim->ClearTranscript();
    const RadioState radio = gw.Radio();
    EXPECT_EQ(radio.signal, c.signal) << c.rssi;
    EXPECT_EQ(radio.registration, c.registration) << c.stat;
    EXPECT_EQ(sim->Received(), "AT+CSQ\rAT+CREG?\r");
  }
  sim->SetFault("AT+CSQ", {.silent = true});
  const RadioState silent = gw.Radio();
  EXPECT_EQ(silent.signal, std::nullopt);
  EXPECT_EQ(silent.registration, "unknown");
  EXPECT_FALSE(gw.IsOpen());
  EXPECT_EQ(gw.Radio().registration, "unknown") << "closed: nothing asked";
}

}  // namespace
}  // namespace selvarn::gateway
