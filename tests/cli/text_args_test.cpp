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

}  // namespace
}  // namespace selvarn::cli
