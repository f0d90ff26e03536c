// What people type for a message, checked and measured before the modem is touched.
#include <gtest/gtest.h>

#include <sstream>

#include "text_args.hpp"

namespace selvarn::cli {
namespace {

TEST(TextArgs, StandardInputLosesOneFinalLineBreak) {
  const std::string in[] = {"hello\n", "hello\r\n", "hello", "two\nlines\n\n", "\n"};
  const std::string text[] = {"hello", "hello", "hello", "two\nlines\n", ""};
  for (std::size_t i = 0; i < std::size(in); ++i) {
    std::istringstream stream(in[i]);
    EXPECT_EQ(ReadText(stream), text[i]) << ::testing::PrintToString(in[i]);
  }
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
