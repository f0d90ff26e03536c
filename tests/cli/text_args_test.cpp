// What people type for a message, checked and measured before the modem is touched.
#include <gtest/gtest.h>

#include <optional>
#include <sstream>

#include "text_args.hpp"

namespace selvarn::cli {
namespace {

// Reading stops past the limit: what a send cannot take is never held whole.
TEST(TextArgs, StandardInputLosesOneFinalLineBreakAndStopsPastTheLimit) {
  const struct {
    std::string in;
    std::size_t most;
    std::optional<std::string> text;
  } cases[] = {
      {"hello\n", 5, "hello"},
      {"hello\r\n", 5, "hello"},
      {"hello", 5, "hello"},
      {"two\nlines\n\n", 10, "two\nlines\n"},
      {"\n", 0, ""},
      {"hello!", 5, std::nullopt},
      {"hello\n\n", 5, std::nullopt},
      {"hello\r\nx", 5, std::nullopt},
  };
  for (const auto& c : cases) {
    std::istringstream stream(c.in);
    EXPECT_EQ(ReadText(stream, c.most), c.text) << ::testing::PrintToString(c.in);
  }
  std::istringstream endless(std::string(5000, 'a'));
  EXPECT_EQ(ReadText(endless, 5), std::nullopt);
  EXPECT_EQ(endless.rdbuf()->in_avail(), 5000 - 8);
  // The limit is the longest text a send takes: 255 parts of 153 septets, 4 bytes a character.
  EXPECT_EQ(MostTextBytes(), 4u * 255 * 153);
}

TEST(TextArgs, RecipientsAndPins) {
  for (const char* good : {"+447700900001", "0123-456-789", "1", "12345678901234567890"}) {
    EXPECT_EQ(RecipientProblem(good), std::nullopt) << good;
  }
  for (const char* bad : {"", "+", "--", "44+77", "0123 456", "123456789012345678901", "abc"}) {
    EXPECT_NE(RecipientProblem(bad), std::nullopt) << bad;
  }
  for (const char* good : {"1234", "12345678", "0000"}) EXPECT_TRUE(IsPin(good)) << good;
  for (const char* bad : {"", "123", "123456789", "12a4", " 1234", "+1234"}) {
    EXPECT_FALSE(IsPin(bad)) << bad;
  }
}

TEST(TextArgs, PlanCountsSeptetsOrUnitsAndParts) {
  const struct {
    std::string text;
    bool unicode;
    bool long_message;
    std::size_t parts, length, unmapped;
  } cases[] = {
      {std::string(160, 'a'), false, false, 1, 160, 0},
      {std::string(161, 'a'), false, true, 2, 161, 0},
      {std::string(158, 'a') + "€", false, false, 1, 160, 0},  // the euro takes two
      {std::string(159, 'a') + "€", false, true, 2, 161, 0},
      {std::string(306, 'a'), false, true, 2, 306, 0},
      {std::string(307, 'a'), false, true, 3, 307, 0},
      {"Grüße ж 😀", false, false, 1, 9, 2},  // ü and ß are in the alphabet
      {std::string(160, 'a') + "ж", false, true, 2, 161, 1},
      {"Привет 😀", true, false, 1, 9, 0},  // UTF-16 units
      {std::string(200, 'a'), true, false, 1, 200, 0},
      {std::string(215 * 153, 'a'), false, true, 215, 215 * 153, 0},
      {std::string(215 * 153 + 1, 'a'), false, true, 0, 215 * 153 + 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 20) + "... " + std::to_string(c.text.size()));
    const SendPlan p = PlanSend(c.text, c.unicode);
    EXPECT_EQ(p.unicode, c.unicode);
    EXPECT_EQ(p.long_message, c.long_message);
    EXPECT_EQ(p.parts, c.parts);
    EXPECT_EQ(p.length, c.length);
    EXPECT_EQ(p.unmapped, c.unmapped);
  }
}

}  // namespace
}  // namespace selvarn::cli
