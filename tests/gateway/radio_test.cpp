// Signal and registration read from answers as modems give them.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "gateway/radio.hpp"

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

}  // namespace
}  // namespace selvarn::gateway
