// Late-bound calls: conversions and malformed calls with their numbers. The methods
// against the modem are called through the Python module, which rides on dispatch.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "api/dispatch.hpp"

namespace selvarn::api {
namespace {

using S = std::string;

TEST(Dispatch, ArgumentsConvertAsAutomationClientsExpect) {
  const std::int32_t kMin = -2147483647 - 1;
  struct Case {
    const char* property;
    Variant put, get;
  } cases[] = {
      {"MN", std::int16_t{-5}, S("-5")},    {"MN", std::int32_t{70000}, S("70000")},
      {"MN", VariantBool::True, S("True")}, {"MN", VariantBool::False, S("False")},
      {"MN", std::monostate{}, S()},        {"Msg", S("Grüße €\r\n"), S("Grüße €\r\n")},
      {"DRStatus", std::int16_t{2}, 2},     {"DRStatus", kMin, kMin},
      {"DRStatus", 2147483647, 2147483647}, {"DRStatus", S(" +1 "), 1},
      {"DRStatus", S("-2147483648"), kMin}, {"DRStatus", VariantBool::True, -1},
      {"DRStatus", std::monostate{}, 0},
  };
  SMS sms;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.property) + " <- " + ToText(c.put));
    const std::int32_t id = IdOfName(c.property).value();
    EXPECT_EQ(Invoke(sms, id, kPropertyPut, std::span(&c.put, 1)), Variant());
    EXPECT_EQ(Invoke(sms, id, kMethod, {}), c.get);
  }
}

TEST(Dispatch, MalformedCallsFailWithTheirNumbers) {
  const Variant missing = Missing{};
  constexpr std::int32_t kDRStatus = 0x6803000C, kMN = 0x68030001, kInit = 0x6003000D;
  // clang-format off
  const std::map<int, std::string> kind = {{13, "Type mismatch: "}, {6, "Overflow: "},
      {449, "Argument not optional: "}, {5, "Invalid procedure call or argument: "},
      {450, "Wrong number of arguments or invalid property assignment: "},
      {438, "Object doesn't support this property or method: "}};
  struct Case {
    std::int32_t id; unsigned flags; std::vector<Variant> args; std::int32_t hresult; int number;
    std::optional<unsigned> argument;
    const char* detail;  // after the error kind's words
  } cases[] = {
      {kDRStatus, kPropertyPut, {S("1.5")}, hr::kTypeMismatch, 13, 0, "argument 1 (RHS) of DRStatus"},
      {kDRStatus, kPropertyPut, {missing}, hr::kTypeMismatch, 13, 0, "argument 1 (RHS) of DRStatus"},
      {kDRStatus, kPropertyGet, {}, hr::kException, 13, {}, "DRStatus holds \"\""},
      {kMN, kMethod, {std::int16_t{1}}, hr::kBadParamCount, 450, {}, "MN takes 0, given 1"},
      {kMN, kPropertyPut, {}, hr::kBadParamCount, 450, {}, "MN takes 1, given 0"},
      {kMN, 8, {S()}, hr::kMemberNotFound, 438, {}, "MN is a property"},
      {kInit, kMethod, {32768}, hr::kOverflow, 6, 0, "argument 1 (intPort) of InitModem"},
      {kInit, kMethod, {-32769}, hr::kOverflow, 6, 0, "argument 1 (intPort) of InitModem"},
      {kInit, kMethod, {S("70000")}, hr::kOverflow, 6, 0, "argument 1 (intPort) of InitModem"},
      {kInit, kMethod, {S("COM1")}, hr::kTypeMismatch, 13, 0, "argument 1 (intPort) of InitModem"},
      {kInit, kMethod, {missing, S("1")}, hr::kParamNotOptional, 449, 0, "argument 1 (intPort) of InitModem"},
      {kInit, kMethod, {1, S("12\xC3")}, hr::kInvalidArg, 5, 1, "argument 2 (PIN) of InitModem is not UTF-8 text"},
      {kInit, kMethod, {}, hr::kBadParamCount, 450, {}, "InitModem takes 1 to 2, given 0"},
      {kInit, kMethod, {1, S(), S()}, hr::kBadParamCount, 450, {}, "InitModem takes 1 to 2, given 3"},
      {kInit, kPropertyGet, {1}, hr::kMemberNotFound, 438, {}, "InitModem is a method"},
      {0x6003000F, kMethod, {}, hr::kMemberNotFound, 438, {}, "member id 0x6003000F"},
  };
  // clang-format on
  for (const auto& c : cases) {
    SMS sms;
    try {
      Invoke(sms, c.id, c.flags, c.args);
      ADD_FAILURE() << c.detail;
    } catch (const AutomationError& e) {
      EXPECT_EQ(e.description(), kind.at(c.number) + c.detail);
      EXPECT_EQ(e.hresult(), c.hresult) << c.detail;
      EXPECT_EQ(e.number(), c.number) << c.detail;
      EXPECT_EQ(e.argument(), c.argument) << c.detail;
    }
  }
  EXPECT_FALSE(IdOfName("Init Modem"));
  EXPECT_FALSE(IdOfName(""));
}

TEST(Dispatch, Utf8IsCheckedByTheStandardsRules) {
  for (const char* good :
       {"", "plain", "\xC2\x80", "Grüße", "\xE0\xA0\x80", "\xE2\x82\xAC", "\xEF\xBF\xBF",
        "\xF0\x90\x80\x80", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF", "\xED\x9F\xBF"}) {
    EXPECT_TRUE(IsUtf8(good)) << ::testing::PrintToString(good);
  }
  for (const char* bad :
       {"\x80", "\xC1\xBF", "\xC0\x80", "\xC3", "\xC3(", "\xE0\x9F\xBF", "\xE0\xA0", "\xE2\x82",
        "\xED\xA0\x80", "\xED\xBF\xBF", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80",
        "\xF8\x90\x80\x80", "\xF0\x9F\x98", "ok\xFF"}) {
    EXPECT_FALSE(IsUtf8(bad)) << ::testing::PrintToString(bad);
  }
}

}  // namespace
}  // namespace selvarn::api
