// Each command end to end against the built-in simulator, help and call over the type
// library among them: what it prints, as text and as JSON, and its exit status.
#include <nlohmann/json.hpp>

#include "cli_support.hpp"

namespace selvarn::testing {
namespace {

const std::string kMessage = "message from +447700900001 time 24/05/01,09:30:00+04 text Hello";
const std::string kMessage2 = "message from Selvarn time 24/05/02,10:00:00-08 ucs2 text Привет";
const std::string kShown1 =
    "Id:     1\nFrom:   +447700900001\nCentre: +447785016005\nTime:   2024-05-01 10:30:00 +02:00\n"
    "Text:   Hello\n";
const std::string kReport =
    "report ref 12 to +447700900001 status 48 time 24/05/01,09:30:00+04 done "
    "24/05/01,09:30:05+04";
const std::string kRefuse = R"(literal \r\nERROR\r\n)";
const std::string kErr = "selvarn-sms: ";
const std::string kOwn = "+447700900123";  // the simulator reports what is sent there
const std::string kDelivered =
    "report: reference 1 to +447700900123: delivered (status 0), message 1 part 1, message "
    "delivered\nmessage 1: delivered\n";
const std::string kTooLong = kErr + "the text is too long: a long message has at most 255 parts";
const std::string kMainUsage = "\nusage: selvarn-sms [--port N";
const std::string kMR = "True\nMR = 1\\r\\n\\r\\n\n";
const std::string kCyrillic = [] {
  std::string s;
  for (int i = 0; i < 71; ++i) s += "ж";
  return s;
}();

std::string Sent(const std::string& coding) {
  return "sent as message 1 (" + coding + "), message reference 1\n";
}

class Commands : public CommandLine {};

// A row that starts with a command runs on the built-in simulator. Usage errors (2) and
// run-time errors (3) are matched by the start of standard error; usage errors also show
// the usage.
TEST_F(Commands, PrintTheirResultsAndExitStatus) {
  const struct {
    std::vector<std::string> args;
    int code;
    std::string out;
    std::string err = "";
    std::string input = "";
  } cases[] = {
      // clang-format off
      {{"init"}, 0, "OK\n"},
      {{"--sim", "--do", "set sim pin", "--pin", "1234", "init"}, 0, "OK\n"},
      {{"network"}, 0, "registered\n"},
      {{"--sim", "--do", "set creg 0 2", "network"}, 1, "not registered\n"},
      {{"send", "+447700900001", "Hello {}"}, 0, Sent("7bit")},
      {{"send", "--ref", "77", "+447700900001", std::string(400, 'a')}, 0,
       "sent as message 1 (7bit, 3 parts), message references 1,2,3\n",
       "part 1 of 3 sent\npart 2 of 3 sent\npart 3 of 3 sent\n"},
      // The coding is picked from the text unless forced; 71 UCS2 units need two parts.
      {{"send", "1234", "Привет"}, 0, Sent("unicode")},
      {{"send", "1234", kCyrillic}, 0, "sent as message 1 (unicode, 2 parts), message references 1,2\n",
       "part 1 of 2 sent\npart 2 of 2 sent\n"},
      {{"send", "--unicode", "1234", "Hi"}, 0, Sent("unicode")},
      {{"send", "--7bit", "1234", "Привет"}, 0, Sent("7bit"),
       kErr + "warning: 6 character(s) have no 7-bit form and go out as \"?\"; leave out --7bit "
       "to send them as they are\n"},
      {{"send", "1234", "-"}, 0, Sent("7bit"), "", "hi\n"},
      {{"--sim", "--do", "fault AT+CMGS " + kRefuse, "send", "1234", "Hi"}, 1,
       "not sent as message 1 (7bit): part 1 refused (ERROR)\n"},
      {{"--sim", "--do", kMessage, "--do", kMessage2, "read", "--all"}, 0,
       kShown1 + "\nId:     2\nFrom:   Selvarn\nCentre: +447785016005\nTime:   "
       "2024-05-02 14:00:00 +02:00\nText:   Привет\n"},
      {{"--sim", "--do", kMessage, "--do", kMessage2, "read"}, 0, kShown1},
      // Nothing waiting is no failure, with or without --all.
      {{"read"}, 0, "no message\n"},
      {{"read", "--all"}, 0, "no message\n"},
      // Mended: a message the modem will not delete is shown once, not read again and again.
      {{"--sim", "--do", kMessage, "--do", "fault AT+CMGD " + kRefuse, "read", "--all"}, 1, kShown1,
       kErr + "the modem did not delete a stored message: it stays on the SIM\n"},
      {{"reports", "on"}, 0, "delivery reports on\n"},
      {{"--sim", "--do", "fault AT+CNMI " + kRefuse, "reports", "off"}, 1,
       "the modem refused to switch delivery reports off\n"},
      {{"--sim", "--do", kReport, "report"}, 0,
       "Reference: 12\nRecipient: +447700900001\nReceived:  2024-05-01 10:30:00 +02:00\n"
       "Forwarded: 2024-05-01 10:30:05 +02:00\nStatus:    Undelivered\n"},
      {{"report"}, 0, "no report\n"},
      {{"report", "--all"}, 0, "no report\n"},
      {{"call", "SendSMST", "+447700900123", "Hi"}, 0, kMR},
      {{"call", "sendsmsu", "123", "Hi"}, 0, kMR},
      {{"call", "SendLMSText", "123", "Hello", "7"}, 0, kMR},
      {{"call", "ReadSMS"}, 1, "False\n"},
      {{"--sim", "--do", kMessage, "call", "ReadSMS"}, 0,
       "True\nSCTS = 24/05/01,09:30:00+04\nSMSC = +447785016005\nMsg = Hello\n" "MN = +447700900001\n"},
      {{"--sim", "--do", "set sim pin", "--pin", "1234", "call", "initmodem"}, 0, "OK\n"},
      {{"call", "CloseModem"}, 0, "True\n"},
      {{"call", "DRStatus", "1"}, 0, "Delivered\n"},
      {{"--sim", "--json", "--do", "set sim absent", "network"}, 1,
       R"({"command":"network","status":"SIMError","initialised":false,"reason":"SIMError",)"
       R"("detail":"the SIM status query (AT+CPIN?) gave an error or no usable answer: is a )"
       R"(SIM in?","device":"the built-in simulator","speeds_tried":[115200]})"},
      {{"--sim", "--json", "send", "--ref", "5", "1234", std::string(161, 'x')}, 0,
       R"({"command":"send","to":"1234","id":1,"coding":"7bit","references":[1,2],"long_reference":5,"sent":true})",
       "part 1 of 2 sent\npart 2 of 2 sent\n"},
      {{"--sim", "--json", "--do", kMessage2, "read"}, 0,
       R"({"command":"read","id":1,"sender":"Selvarn","centre":"+447785016005","timestamp":"2024-05-02T10:00:00-02:00","scts":"24/05/02,10:00:00-08","text":"Привет","parts":1,"complete":true})"},
      {{"--sim", "--json", "read"}, 0, R"({"command":"read","found":false})"},
      {{"--sim", "--json", "--do", kReport, "report"}, 0,
       R"({"command":"report","found":true,"complete":true,"reference":"12","recipient":"+447700900001","received_date":"2024-05-01","received_time":"09:30:00+01:00","forwarded_date":"2024-05-01","forwarded_time":"09:30:05+01:00","status":"Undelivered"})"},
      {{"--sim", "--json", "call", "SendSMST", "123", "Hi"}, 0,
       R"({"command":"call","member":"SendSMST","result":true,"properties":{"MR":"1\r\n\r\n"}})"},
      {{"--json", "call", "DRStatus", "2"}, 0,
       R"({"command":"call","member":"DRStatus","result":2,"name":"Unknown"})"},
      // Mended: an undecodable message is kept aside and deleted; the one behind it is read.
      {{"--sim", "--json", "--do", "message pdu 0791447758100650040B91", "--do", kMessage, "read"}, 0,
       R"j({"command":"read","id":1,"sender":"+447700900001","centre":"+447785016005","timestamp":"2024-05-01T09:30:00+01:00","scts":"24/05/01,09:30:00+04","text":"Hello","parts":1,"complete":true})j",
       kErr + "warning: cannot read the entry at SM 1 (Invalid procedure call or argument: "
       "PDUConverter.Decode: cannot read TP-OA (it needs octets 12 to 17, the PDU has 11)); it "
       "is kept for the store at the next take\n" +
       kErr + "warning: kept 1 undecodable entry(ies) in the quarantine and deleted them from "
       "the modem (inbox --undecodable lists them)\n"},
      {{"call", "DRStatus"}, 3, "", kErr + "error 13: Type mismatch: DRStatus holds \"\""},
      {{"call", "SendLMSText", "123", "", "7"}, 3, "", kErr + "error 5: Invalid procedure call"},
      {{}, 2, "", kErr + "no command given" + kMainUsage},
      {{"frob"}, 2, "", kErr + "unknown command \"frob\"" + kMainUsage},
      {{"--port", "0", "init"}, 2, "",
       kErr + "--port: Value 0 not in range 1 to 32767\nusage: selvarn-sms [OPTIONS] init\n"},
      // Mended: a bad option with no command keeps its own error.
      {{"--port", "32768"}, 2, "", kErr + "--port: Value 32768 not in range 1 to 32767" + kMainUsage},
      {{"--port", "3", "--sim", "init"}, 2, "", kErr + "--port excludes --sim"},
      {{"--do", "set sim pin", "init"}, 2, "", kErr + "--do requires --sim"},
      {{"--sim", "--do", "set nothing 1", "init"}, 2, "", kErr + "simulator: unknown setting"},
      {{"--pin", "12a4", "init"}, 2, "", kErr + "the PIN must be 4 to 8 digits"},
      {{"send", "123"}, 2, "", kErr + "TEXT is required\nusage: selvarn-sms [OPTIONS] send ["},
      {{"reports", "maybe"}, 2, "",
       kErr + "STATE: maybe not in {on,off}\nusage: selvarn-sms [OPTIONS] reports"},
      {{"send", "12ab", "Hi"}, 2, "", kErr + "the number \"12ab\" may hold only digits"},
      {{"send", "123", "caf\xe9"}, 2, "", kErr + "the text is not UTF-8 text"},
      {{"send", "123", "-"}, 2, "", kErr + "standard input is not UTF-8 text", "a\xff"},
      {{"send", "123", ""}, 2, "", kErr + "the text is empty"},
      {{"send", "--ref", "256", "123", "Hi"}, 2, "", kErr + "--ref: Value 256 not in range 0 to 255"},
      // The wait takes its value whichever way it is written; the old bare form is told how.
      {{"send", "--wait-report", "10", kOwn, "Hi"}, 0, Sent("7bit") + kDelivered},
      {{"send", "--wait-report=10", kOwn, "Hi"}, 0, Sent("7bit") + kDelivered},
      {{"send", "--wait-report", kOwn, "Hi"}, 2, "", kErr + "--wait-report takes the seconds to "
       "wait, 0 to 86400, before NUMBER and TEXT: send --wait-report 120 NUMBER TEXT (given \"" + kOwn + "\")"},
      {{"send", "--wait-report", "86401", kOwn, "Hi"}, 2, "", kErr + "--wait-report takes the"},
      {{"send", "--wait-report", "-1", kOwn, "Hi"}, 2, "", kErr + "--wait-report takes the"},
      {{"send", "123", std::string(255 * 153 + 1, 'a')}, 2, "", kTooLong},
      {{"send", "--unicode", "123", std::string(255 * 67 + 1, 'a')}, 2, "", kTooLong},
      {{"call", "Nope"}, 2, "", kErr + "the SMS class has no member \"Nope\" (selvarn-sms help"},
      {{"call"}, 2, "", kErr + "MEMBER is required\nusage: selvarn-sms [OPTIONS] call MEMBER"},
      {{"call", "SendSMST", "1"}, 2, "", kErr + "SendSMST takes 2 argument(s), given 1: SendSMST("},
      {{"call", "SendSMST", "123", "caf\xe9"}, 2, "", kErr + "Invalid procedure call or argument: arg"},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    std::vector<std::string> args = c.args;
    if (!args.empty() && !args[0].starts_with("-")) args.insert(args.begin(), "--sim");
    const Outcome o = Run(args, c.input);
    ExpectOutput(o.out, c.out);
    EXPECT_EQ(o.code, c.code);
    EXPECT_EQ(c.code < 2 ? o.err : o.err.substr(0, c.err.size()), c.err);
    EXPECT_EQ(c.code == 2, o.err.find("\nusage: selvarn-sms ") != std::string::npos) << o.err;
  }
}

TEST_F(Commands, HelpTellsWhatToTypeWithExamples) {
  const Outcome main_help = Run({"--help"});
  EXPECT_EQ(main_help.code, 0);
  for (const char* word : {"--device", "--sim", "--pin", "--json", "--trace", "ports",
                           "Examples:", "selvarn-sms --sim send +447700900123", "Exit status"}) {
    EXPECT_NE(main_help.out.find(word), std::string::npos) << word;
  }
  // help: the type library.
  EXPECT_TRUE(Run({"help"}).out.starts_with(
      "SelvarnSMSAPI6 1.0: class SMS (SelvarnSMSAPI6.SMS)\nProperties:\n  Property DRStatus As "
      "DeliveryStatus\n"));
  EXPECT_EQ(Lines(Run({"--json", "help"}).out).size(), 13u + 10u + 2u);
  EXPECT_EQ(
      Run({"help", "sendlmstext"}).out,
      "SendLMSText(ByRef strMobileNumber As String, ByRef strMessage As String, ByRef "
      "intMessageReference As Integer) As Boolean\nmember id 0x60030011\n\n(no help string)\n");
  EXPECT_EQ(Run({"help", "modemstatus"}).out,
            "ModemStatus: Fail = 0, OK = 1, PINRequired = 2, PINWrong = 3, SIMBlocked = 4, "
            "SIMError = 5\n");
  // JSON keeps the help string byte for byte, CR LF and all.
  ExpectOutput(Run({"--json", "help", "CloseModem"}).out,
               R"({"command":"help","member":"CloseModem","id":1610809367,"kind":"method",)"
               R"("signature":"CloseModem() As Boolean","help":"To close the connection to )"
               R"(modem.\r\nRetrun value is:\r\n= TRUE;  if ok, else\r\n= FALSE \r\n"})");
}

}  // namespace
}  // namespace selvarn::testing
