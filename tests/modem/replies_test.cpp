// Reply cutting on whole answers kept byte for byte, named after what sent them.
#include "modem/replies.hpp"

#include <functional>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "support/errors.hpp"

namespace selvarn {
namespace {

using testing::ErrorNumberOf;

// TS 27.005 answers, echo off: an accepted submission and listings in PDU and text mode.
constexpr const char* kCmgs = "\r\n+CMGS: 12\r\n\r\nOK\r\n";
constexpr const char* kCmglPdu =
    "\r\n+CMGL: 3,1,,24\r\n07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F97"
    "7FD07\r\n\r\nOK\r\n";
constexpr const char* kCmglReport =
    "\r\n+CMGL: 2,\"REC UNREAD\",6,27,\"+31628870634\",145,\"09/03/01,12:34:56+32\","
    "\"09/03/01,12:35:01+32\",0\r\n\r\nOK\r\n";

TEST(Replies, FindAndMidCountFromOne) {
  const std::string far = std::string(32766, ' ') + "OK";
  EXPECT_EQ(Replies::Find(kCmgs, "\r\n"), 1);
  EXPECT_EQ(Replies::Find(kCmgs, "\r\n", 3), 12);
  EXPECT_EQ(Replies::Find(kCmgs, "\r\n", 12), 12) << "the start position itself counts";
  EXPECT_EQ(Replies::Find(kCmgs, "OK", 17), 0);
  EXPECT_EQ(Replies::Find(kCmgs, "\r", 40), 0) << "from past the end";
  EXPECT_EQ(Replies::Find(far, "OK"), 32767);
  EXPECT_EQ(Replies::Mid(kCmgs, 1, 2), "\r\n");
  EXPECT_EQ(Replies::Mid(kCmgs, 9, 3), " 12");
  EXPECT_EQ(Replies::Mid(kCmgs, 9, 0), "");
  EXPECT_EQ(Replies::Mid(kCmgs, 17, 10), "K\r\n") << "a cut past the end stops there";
  EXPECT_EQ(Replies::Mid(kCmgs, 20, 1), "");
  EXPECT_EQ(Replies::Trim("  12\r\n\r\n "), "12\r\n\r\n") << "only spaces go";

  struct Case {
    const char* name;
    std::function<void()> cut;
    int error;
  } errors[] = {
      {"search from 0", [] { Replies::Find(kCmgs, "OK", 0); }, 5},
      {"cut from 0", [] { Replies::Mid(kCmgs, 0, 1); }, 5},
      {"negative length", [] { Replies::Mid(kCmgs, 3, -1); }, 5},
      {"found beyond 32,767", [&] { Replies::Find(" " + far, "OK"); }, 6},
      {"listing without comma", [] { Replies::ListedIndex("\r\n+CMGL: 3\r\n\r\nOK\r\n"); }, 5},
      {"listed index no number", [] { Replies::ListedIndex("\r\n+CMGL: x,1\r\n"); }, 13},
      {"listed index too big", [] { Replies::ListedIndex("\r\n+CMGL: 40000,1\r\n"); }, 6},
      {"reference without OK", [] { Replies::MessageReference("\r\n+CMGS: 12\r\n"); }, 5},
  };
  for (const auto& c : errors) EXPECT_EQ(ErrorNumberOf(c.cut), c.error) << c.name;
}

TEST(Replies, NumbersHave16BitsAndSpacesAround) {
  struct Case {
    const char* text;
    std::int16_t value;  // when error is 0
    int error;
  } cases[] = {
      {" 12 ", 12, 0}, {"+7", 7, 0},    {"-32768", -32768, 0}, {"32767", 32767, 0},
      {"007", 7, 0},   {"32768", 0, 6}, {"-32769", 0, 6},      {"99999999999999999999", 0, 6},
      {"", 0, 13},     {"  ", 0, 13},   {"-", 0, 13},          {"1 2", 0, 13},
      {"12.5", 0, 13}, {"0x10", 0, 13}, {"\t5", 0, 13},        {"99999x", 0, 13},
  };
  for (const auto& c : cases) {
    std::int16_t value = 0;
    EXPECT_EQ(ErrorNumberOf([&] { value = Replies::ToInt16(c.text); }), c.error) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
}

TEST(Replies, ListingsAndReferences) {
  EXPECT_EQ(Replies::ListedIndex(kCmglPdu), 3);
  EXPECT_EQ(Replies::ListedIndex(kCmglReport), 2);
  EXPECT_EQ(Replies::ListedIndex("\r\n+CMGL:  7 ,1,,24\r\nFF\r\n\r\nOK\r\n"), 7);
  EXPECT_EQ(Replies::ListedIndex("\r\nOK\r\n"), std::nullopt);
  EXPECT_EQ(Replies::MessageReference(kCmgs), "12\r\n\r\n");
  EXPECT_EQ(Replies::MessageReference("0011\x1a\r\n+CMGS:255 \r\nOK\r\n"), "255 \r\n");
  EXPECT_EQ(Replies::MessageReference("\r\nOK\r\n"), std::nullopt);
}

// The simulator's answers, echo on as at power-on.
TEST(Replies, RegistrationAndPin) {
  EXPECT_TRUE(Replies::ReportsRegistration("AT+CREG?\r\r\n+CREG: 0,1\r\n\r\nOK\r\n"));
  EXPECT_TRUE(
      Replies::ReportsRegistration("AT+CREG?\r\r\n+CREG: 3,5,\"00C3\",\"1A2B\",7\r\n\r\nOK\r\n"));
  for (const char* reply :
       {"AT+CREG?\r\r\n+CREG: 0,2\r\n\r\nOK\r\n", "+CREG: 4,1", "+CGREG: 0,1"}) {
    EXPECT_FALSE(Replies::ReportsRegistration(reply)) << reply;
  }
  // CheckPIN's codes: 0 ready, 1 PIN, 2 PUK, 3 error; EnterPIN's: 1 accepted, 2 wrong, 0 none.
  struct Status {
    const char* reply;
    std::optional<std::int32_t> code;
  } statuses[] = {
      {"AT+CPIN?\r\r\n+CPIN: READY\r\n\r\nOK\r\n", 0},
      {"AT+CPIN?\r\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n", 1},
      {"AT+CPIN?\r\r\n+CPIN: SIM PUK\r\n\r\nOK\r\n", 2},
      {"AT+CPIN?\r\r\n+CME ERROR: 10\r\n", 3},  // no SIM
      {"\r\n+CPIN: \r\n\r\nOK\r\n", std::nullopt},
  };
  for (const auto& c : statuses) EXPECT_EQ(Replies::ClassifyPINStatus(c.reply), c.code) << c.reply;
  struct Entry {
    const char* reply;
    std::int32_t code;
  } entries[] = {
      {"AT+CPIN=1234\r\r\nOK\r\n", 1},
      {"AT+CPIN=1234\r\r\n+CME ERROR: 3\r\n", 1},  // already unlocked
      {"AT+CPIN=9999\r\r\n+CME ERROR: 16\r\n", 2},
      {"\r\n+CME ERROR: 160\r\n", 0},
      {"\r\n+CME ERROR: 16", 0},  // line not ended
      {"\r\nERROR\r\n", 0},
  };
  for (const auto& c : entries) EXPECT_EQ(Replies::ClassifyPINReply(c.reply), c.code) << c.reply;
}

}  // namespace
}  // namespace selvarn
