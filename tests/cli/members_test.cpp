// help and call: the type library's members and their help strings, and any member
// called by name against the simulator.
#include <nlohmann/json.hpp>

#include "cli_support.hpp"

namespace selvarn::testing {
namespace {

using nlohmann::json;

class Members : public CommandLine {};

TEST_F(Members, HelpShowsTheTypeLibrary) {
  const Outcome all = Run({"help"});
  EXPECT_EQ(all.code, 0);
  EXPECT_TRUE(
      all.out.starts_with("SelvarnSMSAPI6 1.0: class SMS (SelvarnSMSAPI6.SMS)\n"
                          "Properties:\n  Property DRStatus As DeliveryStatus\n"))
      << all.out;
  for (const char* line :
       {"\nMethods:\n  InitModem(intPort As Integer, [PIN As String]) As ModemStatus\n",
        "\n  SendLMSText(ByRef strMobileNumber As String, ByRef strMessage As String, ByRef "
        "intMessageReference As Integer) As Boolean\n",
        "\nEnumerations:\n  DeliveryStatus: Undelivered = 0, Delivered = 1, Unknown = 2\n"}) {
    EXPECT_NE(all.out.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(Lines(Run({"--json", "help"}).out).size(), 13u + 10u + 2u);

  const struct {
    std::string name;
    std::string out;
  } cases[] = {
      {"sendsmsu",
       "SendSMSU(Number As String, MessageUnicode As String) As Boolean\nmember id 0x60030013\n\n"
       "Send SMS in unicode format\nSendSMS = TRUE if send ok else FALSE\nNumber = HP number of "
       "recipient\nMessageUnicdoe = message in unicode format, max 70 characters\n\n\n"},
      {"SCTS",
       "Property SCTS As String\nmember id 0x68030005\n\nSMSC (SMS Centre) time stamp \u2013 "
       "time of the message received by SMSC.\n"},
      {"SendLMSText",
       "SendLMSText(ByRef strMobileNumber As String, ByRef strMessage As String, ByRef "
       "intMessageReference As Integer) As Boolean\nmember id 0x60030011\n\n(no help string)\n"},
      {"modemstatus",
       "ModemStatus: Fail = 0, OK = 1, PINRequired = 2, PINWrong = 3, SIMBlocked = 4, "
       "SIMError = 5\n"},
  };
  for (const auto& c : cases) {
    const Outcome o = Run({"help", c.name});
    EXPECT_EQ(o.out, c.out);
    EXPECT_EQ(o.code, 0);
  }
  // JSON keeps the help string byte for byte, CR LF and all.
  EXPECT_EQ(json::parse(Run({"--json", "help", "CloseModem"}).out),
            (json{{"command", "help"},
                  {"member", "CloseModem"},
                  {"id", 0x60030017},
                  {"kind", "method"},
                  {"signature", "CloseModem() As Boolean"},
                  {"help",
                   "To close the connection to modem.\r\nRetrun value is:\r\n= TRUE;  if "
                   "ok, else\r\n= FALSE \r\n"}}));
}

TEST_F(Members, CallRunsAnyMemberByName) {
  const std::string message = "message from +447700900001 time 24/05/01,09:30:00+04 text Hello";
  const struct {
    std::vector<std::string> args;
    int code;
    std::string out;
  } cases[] = {
      {{"--sim", "call", "SendSMST", "+447700900123", "Hi"}, 0, "True\nMR = 1<CR><LF><CR><LF>\n"},
      {{"--sim", "call", "sendsmsu", "123", "Hi"}, 0, "True\nMR = 1<CR><LF><CR><LF>\n"},
      {{"--sim", "call", "SendLMSText", "123", "Hello", "7"}, 0, "True\nMR = 1<CR><LF><CR><LF>\n"},
      {{"--sim", "call", "ConnectToGSM"}, 0, "True\n"},
      {{"--sim", "call", "ReadSMS"}, 1, "False\n"},
      {{"--sim", "--do", message, "call", "ReadSMS"},
       0,
       "True\nSCTS = 24/05/01,09:30:00+04\nSMSC = +447785016005\nMsg = Hello\n"
       "MN = +447700900001\n"},
      {{"--sim", "call", "InitModem"}, 0, "OK\n"},
      {{"--sim", "--do", "set sim pin", "call", "InitModem"}, 1, "PINRequired\n"},
      {{"--sim", "--do", "set sim pin", "--pin", "1234", "call", "initmodem"}, 0, "OK\n"},
      {{"--sim", "call", "CloseModem"}, 0, "True\n"},
      {{"call", "MN", "hello"}, 0, "hello\n"},
      {{"call", "DRStatus", "1"}, 0, "Delivered\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const Outcome o = Run(c.args);
    EXPECT_EQ(o.out, c.out);
    EXPECT_EQ(o.code, c.code) << o.err;
  }
  EXPECT_EQ(json::parse(Run({"--sim", "--json", "call", "SendSMST", "123", "Hi"}).out),
            (json{{"command", "call"},
                  {"member", "SendSMST"},
                  {"result", true},
                  {"properties", {{"MR", "1\r\n\r\n"}}}}));
  EXPECT_EQ(
      json::parse(Run({"--json", "call", "DRStatus", "2"}).out),
      (json{{"command", "call"}, {"member", "DRStatus"}, {"result", 2}, {"name", "Unknown"}}));
}

TEST_F(Members, MalformedCallsAreUsageErrorsAndFailuresRunTimeErrors) {
  const struct {
    std::vector<std::string> args;
    int code;
    std::string err;  // first line
  } cases[] = {
      {{"call", "Nope"}, 2, "the SMS class has no member \"Nope\" (selvarn-sms help lists them)"},
      {{"help", "Nope"}, 2, "the SMS class has no member \"Nope\" (selvarn-sms help lists them)"},
      {{"call"}, 2, "MEMBER is required"},
      {{"--sim", "call", "SendSMST", "1"},
       2,
       "SendSMST takes 2 argument(s), given 1: SendSMST(Number As String, MessageText As "
       "String) As Boolean"},
      {{"call", "MN", "a", "b"}, 2, "MN takes 0 to 1 argument(s), given 2: Property MN As String"},
      {{"--sim", "call", "InitModem", "abc"},
       2,
       "Type mismatch: argument 1 (intPort) of InitModem"},
      {{"--sim", "call", "InitModem", "40000"}, 2, "Overflow: argument 1 (intPort) of InitModem"},
      {{"--sim", "call", "SendSMST", "123", "caf\xe9"},
       2,
       "Invalid procedure call or argument: argument 2 (MessageText) of SendSMST is not UTF-8 "
       "text"},
      {{"call", "DRStatus"}, 3, "error 13: Type mismatch: DRStatus holds \"\""},
      {{"--sim", "call", "SendLMSText", "123", "", "7"},
       3,
       "error 5: Invalid procedure call or argument: SendLMSText has no text to send"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const Outcome o = Run(c.args);
    EXPECT_EQ(o.code, c.code);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(Lines(o.err).at(0), "selvarn-sms: " + c.err);
  }
}

}  // namespace
}  // namespace selvarn::testing
