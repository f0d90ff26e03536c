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
      {"reference without OK", [] { Replies::MessageReference("\r\n+CMGS: 12\r\n"); }, 5},
  };
  for (const auto& c : errors) EXPECT_EQ(ErrorNumberOf(c.cut), c.error) << c.name;
}

TEST(Replies, NumbersHave16BitsAndSpacesAround) {
  struct Case {
    const char* text;
    std::int16_t value;  // when error is 0
    int error;
  } cases[] = {{" 12 ", 12, 0},
               {"+7", 7, 0},
               {"-32768", -32768, 0},
               {"32767", 32767, 0},
               {"32768", 0, 6},
               {"-32769", 0, 6},
               {"99999999999999999999", 0, 6},
               {"", 0, 13},
               {"-", 0, 13},
               {"1 2", 0, 13},
               {"\t5", 0, 13},
               {"99999x", 0, 13}};
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

}  // namespace
}  // namespace selvarn
