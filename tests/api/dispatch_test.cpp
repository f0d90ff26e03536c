// Late-bound calls: conversions, malformed calls with their numbers, and the methods
// against the simulated modem.
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "api/dispatch.hpp"
#include "messaging/fixture.hpp"
#include "support/sim_port.hpp"

namespace selvarn::api {
namespace {

struct Outcome {
  Variant result{};
  std::int32_t hresult = 0;
  int number = 0;
};

Outcome Call(SMS& sms, const char* name, unsigned flags, const std::vector<Variant>& args) {
  try {
    return {Invoke(sms, IdOfName(name).value(), flags, args)};
  } catch (const AutomationError& e) {
    return {{}, e.hresult(), e.number()};
  }
}

TEST(Dispatch, EveryPropertyIsWrittenAndReadThroughItsId) {
  SMS sms;
  for (const Function& f : Functions()) {
    if (f.kind != Kind::PropertyPut || f.member->type != Type::String) continue;
    EXPECT_EQ(Invoke(sms, f.member->id, kCall, {}), Variant(std::string()));
    const std::vector<Variant> value{std::string(f.member->name) + "!"};
    EXPECT_EQ(Invoke(sms, f.member->id, kPropertyPut, value), Variant());
  }
  for (const Function& f : Functions()) {
    if (f.kind != Kind::PropertyGet || f.member->type != Type::String) continue;
    EXPECT_EQ(Invoke(sms, f.member->id, kPropertyGet, {}),
              Variant(std::string(f.member->name) + "!"));
  }
  EXPECT_EQ(sms.MN(), "MN!");
  EXPECT_EQ(sms.DRFDate(), "DRFDate!");
}

TEST(Dispatch, ArgumentsConvertAsAutomationClientsExpect) {
  struct Case {
    const char* property;
    Variant put;
    Variant get;
  } cases[] = {
      {"MN", std::int16_t{-5}, std::string("-5")},
      {"MN", std::int32_t{70000}, std::string("70000")},
      {"MN", VariantBool::True, std::string("True")},
      {"MN", VariantBool::False, std::string("False")},
      {"MN", std::monostate{}, std::string()},
      {"Msg", std::string("Grüße €\r\n"), std::string("Grüße €\r\n")},
      {"DRStatus", std::int16_t{2}, std::int32_t{2}},
      {"DRStatus", std::int32_t{-2147483647 - 1}, std::int32_t{-2147483647 - 1}},
      {"DRStatus", std::int32_t{2147483647}, std::int32_t{2147483647}},
      {"DRStatus", std::string(" +1 "), std::int32_t{1}},
      {"DRStatus", std::string("-2147483648"), std::int32_t{-2147483647 - 1}},
      {"DRStatus", VariantBool::True, std::int32_t{-1}},
      {"DRStatus", std::monostate{}, std::int32_t{0}},
  };
  SMS sms;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.property) + " <- " + ToText(c.put));
    EXPECT_EQ(Call(sms, c.property, kPropertyPut, {c.put}).hresult, 0);
    EXPECT_EQ(Call(sms, c.property, kMethod, {}).result, c.get);
  }
}

TEST(Dispatch, MalformedCallsFailWithTheirNumbers) {
  using S = std::string;
  const Variant missing = Missing{};
  constexpr std::int32_t kDRStatus = 0x6803000C, kMN = 0x68030001, kInit = 0x6003000D;
  // clang-format off
  struct Case {
    std::int32_t id;
    unsigned flags;
    std::vector<Variant> args;
    std::int32_t hresult;
    int number;
    std::optional<unsigned> argument;
    const char* description;
  } cases[] = {
      {kDRStatus, kPropertyPut, {S("1.5")}, hr::kTypeMismatch, 13, 0,
       "Type mismatch: argument 1 (RHS) of DRStatus"},
      {kDRStatus, kPropertyPut, {missing}, hr::kTypeMismatch, 13, 0,
       "Type mismatch: argument 1 (RHS) of DRStatus"},
      {kDRStatus, kPropertyGet, {}, hr::kException, 13, {},
       "Type mismatch: DRStatus holds \"\""},
      {kMN, kMethod, {std::int16_t{1}}, hr::kBadParamCount, 450, {},
       "Wrong number of arguments or invalid property assignment: MN takes 0, given 1"},
      {kMN, kPropertyPut, {}, hr::kBadParamCount, 450, {},
       "Wrong number of arguments or invalid property assignment: MN takes 1, given 0"},
      {kMN, kPropertyPut, {S(), S()}, hr::kBadParamCount, 450, {},
       "Wrong number of arguments or invalid property assignment: MN takes 1, given 2"},
      {kMN, 8, {S()}, hr::kMemberNotFound, 438, {},
       "Object doesn't support this property or method: MN is a property"},
      {kInit, kMethod, {std::int32_t{32768}}, hr::kOverflow, 6, 0,
       "Overflow: argument 1 (intPort) of InitModem"},
      {kInit, kMethod, {std::int32_t{-32769}}, hr::kOverflow, 6, 0,
       "Overflow: argument 1 (intPort) of InitModem"},
      {kInit, kMethod, {S("70000")}, hr::kOverflow, 6, 0,
       "Overflow: argument 1 (intPort) of InitModem"},
      {kInit, kMethod, {S("COM1")}, hr::kTypeMismatch, 13, 0,
       "Type mismatch: argument 1 (intPort) of InitModem"},
      {kInit, kMethod, {missing, S("1234")}, hr::kParamNotOptional, 449, 0,
       "Argument not optional: argument 1 (intPort) of InitModem"},
      {kInit, kMethod, {std::int16_t{1}, S("12\xC3")}, hr::kInvalidArg, 5, 1,
       "Invalid procedure call or argument: argument 2 (PIN) of InitModem is not UTF-8 text"},
      {kInit, kMethod, {}, hr::kBadParamCount, 450, {},
       "Wrong number of arguments or invalid property assignment: InitModem takes 1 to 2, given 0"},
      {kInit, kMethod, {std::int16_t{1}, S(), S()}, hr::kBadParamCount, 450, {},
       "Wrong number of arguments or invalid property assignment: InitModem takes 1 to 2, given 3"},
      {kInit, kPropertyGet, {std::int16_t{1}}, hr::kMemberNotFound, 438, {},
       "Object doesn't support this property or method: InitModem is a method"},
      {0x6003000F, kMethod, {}, hr::kMemberNotFound, 438, {},
       "Object doesn't support this property or method: member id 0x6003000F"},
  };
  // clang-format on
  for (const auto& c : cases) {
    SMS sms;
    try {
      Invoke(sms, c.id, c.flags, c.args);
      ADD_FAILURE() << c.description;
    } catch (const AutomationError& e) {
      EXPECT_EQ(e.description(), std::string(c.description));
      EXPECT_EQ(e.hresult(), c.hresult) << c.description;
      EXPECT_EQ(e.number(), c.number) << c.description;
      EXPECT_EQ(e.argument(), c.argument) << c.description;
    }
    EXPECT_EQ(sms.DRStatusText(), "") << c.description;
  }
  EXPECT_FALSE(IdOfName("Init Modem"));
  EXPECT_EQ(IdOfName("closemodem"), 0x60030017);
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
  EXPECT_EQ(ToText(std::int16_t{-32768}), "-32768");
  EXPECT_THROW(ToText(Missing{}), AutomationError);
}

class DispatchToModem : public testing::SimulatedModem {
 protected:
  Outcome Run(const char* name, const std::vector<Variant>& args) {
    sim->ClearTranscript();
    return Call(sms, name, kCall, args);
  }
  SMS sms;
};

// Start-up itself is pinned through the C and Python faces; here: the PIN argument, left
// out or given, and the ends of the port range, tried (no such port: Fail) not refused.
TEST_F(DispatchToModem, InitModemTakesItsPortAndOptionalPin) {
  sim->SetSim(modemsim::SimState::PinRequired, "1234");
  const auto port = static_cast<std::int32_t>(sim->port());
  EXPECT_EQ(Run("initmodem", {std::to_string(port), Missing{}}).result, Variant(std::int32_t{2}));
  EXPECT_EQ(sim->Received(), "AT\rAT+CPIN?\r") << "no PIN given, none sent";
  EXPECT_EQ(Run("InitModem", {std::int16_t(port), std::string("1234")}).result,
            Variant(std::int32_t{1}));
  EXPECT_EQ(sim->Received(),
            "AT\rAT+CPIN?\rAT+CPIN=1234\rAT+CSMS=0\rAT+CSQ\rAT+CSDH=1\rAT+CMGF=0\r\r");
  EXPECT_EQ(Run("ConnectToGSM", {}).result, Variant(VariantBool::True));
  EXPECT_EQ(Run("CloseModem", {}).result, Variant(VariantBool::True));
  EXPECT_EQ(Run("ConnectToGSM", {}).result, Variant(VariantBool::False));
  for (std::int32_t end : {32767, -32768}) {
    EXPECT_EQ(Run("InitModem", {end}).result, Variant(std::int32_t{0})) << end;
  }
}

class DispatchMessaging : public testing::Messaging {
 protected:
  Outcome Run(const char* name, const std::vector<Variant>& args) {
    sim->ClearTranscript();
    return Call(sms, name, kMethod, args);
  }
  Variant Get(const char* name) { return Call(sms, name, kPropertyGet, {}).result; }
};

TEST_F(DispatchMessaging, EveryMessagingMethodThroughItsId) {
  const Variant yes = VariantBool::True;
  EXPECT_EQ(Run("SendSMST", {std::string("012-5550147"), std::string("hellohello")}).result, yes);
  EXPECT_EQ(sim->Received(),
            "AT+CMGS=23\r\r0011000B810621550541F70000AA0AE8329BFD4697D9EC37\x1a\r");
  EXPECT_EQ(Run("SendSMSU", {std::string("012-5550147"), std::string("hi")}).result, yes);
  EXPECT_EQ(sim->Received(), "AT+CMGS=18\r\r0011000B810621550541F70008AA0400680069\x1a\r");

  // Through the network and back: the own number receives, reports come back.
  const std::string own = "+447700900123";
  EXPECT_EQ(Run("DeliveryReportOn", {}).result, yes);
  EXPECT_EQ(Run("SendLMSText", {own, std::string(200, 'x'), std::int32_t{42}}).result, yes);
  EXPECT_NE(sim->Received().find("0500032A0201"), std::string::npos) << "reference 42, part 1 of 2";
  AwaitStored("SM", 2);
  AwaitStored("SR", 2);
  EXPECT_EQ(Run("ReadSMS", {}).result, yes);
  EXPECT_EQ(Get("MN"), Variant(own));
  EXPECT_EQ(Get("Msg"), Variant(std::string(153, 'x')));
  EXPECT_EQ(Run("GetDeliveryReport", {}).result, yes);
  EXPECT_EQ(Get("DRStatus"), Variant(std::int32_t{1}));
  EXPECT_EQ(Run("DeliveryReportOff", {}).result, yes);

  // Their run-time errors come back with their numbers; a closed port answers false.
  const Outcome bad_number = Run("SendSMST", {std::string("0125x"), std::string("hi")});
  EXPECT_EQ(bad_number.hresult, hr::kException);
  EXPECT_EQ(bad_number.number, err::kInvalidCall);
  EXPECT_EQ(Run("CloseModem", {}).result, yes);
  for (const char* name :
       {"ReadSMS", "DeliveryReportOn", "DeliveryReportOff", "GetDeliveryReport"}) {
    EXPECT_EQ(Run(name, {}).result, Variant(VariantBool::False)) << name;
  }
  EXPECT_EQ(Run("SendSMSU", {own, std::string("hi")}).result, Variant(VariantBool::False));
}

}  // namespace
}  // namespace selvarn::api
