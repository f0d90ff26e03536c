// Reply classification on captured answers, byte for byte.
#include <string>

#include <gtest/gtest.h>

#include "modem/network.hpp"
#include "modem/security.hpp"

namespace selvarn {
namespace {

TEST(Registration, EveryReportingModeWithHomeOrRoamingCounts) {
  for (int mode = 0; mode <= 3; ++mode) {
    for (int state = 0; state <= 5; ++state) {
      const bool registered = state == 1 || state == 5;
      const std::string plain =
          "\r\n+CREG: " + std::to_string(mode) + "," + std::to_string(state) + "\r\n\r\nOK\r\n";
      EXPECT_EQ(Modem::ReportsRegistration(plain), registered) << plain;
      if (mode >= 2) {
        const std::string located = "AT+CREG?\r\r\n+CREG: " + std::to_string(mode) + "," +
                                    std::to_string(state) + ",\"00C3\",\"1A2B\"" +
                                    (mode == 3 ? ",7" : "") + "\r\n\r\nOK\r\n";
        EXPECT_EQ(Modem::ReportsRegistration(located), registered) << located;
      }
    }
  }
}

TEST(Registration, OtherAnswersDoNotCount) {
  for (const char* reply : {"", "\r\nOK\r\n", "\r\nERROR\r\n", "AT+CREG?\r", "+CREG: 4,1",
                            "+CREG:0,1", "+CREG: 1", "+CGREG: 0,1", "+CREG: 0, 1"}) {
    EXPECT_FALSE(Modem::ReportsRegistration(reply)) << reply;
  }
}

TEST(PinEntry, WholeErrorNumbersAreCompared) {
  struct Case {
    const char* reply;
    int code;
  } cases[] = {
      {"AT+CPIN=1234\r\r\nOK\r\n", 1},
      {"\r\n+CME ERROR: 3\r\n", 1},
      {"\r\n+CME ERROR: 16\r\n", 2},
      {"\r\n+CME ERROR: 30\r\n", 0},  // no network service: not an accepted PIN
      {"\r\n+CME ERROR: 31\r\n", 0},
      {"\r\n+CME ERROR: 32\r\n", 0},
      {"\r\n+CME ERROR: 160\r\n", 0},  // not a wrong PIN either
      {"\r\n+CME ERROR: 169\r\n", 0},
      {"\r\n+CME ERROR: 12\r\n", 0},  // PUK required
      {"\r\n+CME ERROR: 1", 0},       // cut short by the wait: no usable answer
      {"\r\n+CME ERROR: ", 0},
      {"\r\n+CME ERROR: incorrect password\r\n", 0},
      {"\r\nERROR\r\n", 0},
      {"", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(Security::ClassifyPINReply(c.reply), c.code) << c.reply;
}

TEST(PinEntry, OnlyPrintableAsciiIsSent) {
  for (const char* pin : {"1234", "", "12 34", "abc~!\"#", "~"}) {
    EXPECT_TRUE(Security::IsSendablePIN(pin)) << pin;
  }
  for (const char* pin : {"1234\r", "1234\rAT+CMGD=1,4", "12\n34", "12\x1a", "\x1b", "\x7f",
                          "12\x1f", "pin\xc3\xa4"}) {
    EXPECT_FALSE(Security::IsSendablePIN(pin)) << pin;
  }
}

}  // namespace
}  // namespace selvarn
