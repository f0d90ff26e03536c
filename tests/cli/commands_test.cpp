// Each command end to end against the built-in simulator: what it prints, as text and as
// JSON, and its exit status.
#include <nlohmann/json.hpp>

#include "cli_support.hpp"

namespace selvarn::testing {
namespace {

using nlohmann::json;

const std::string kMessage = "message from +447700900001 time 24/05/01,09:30:00+04 text Hello";
const std::string kMessage2 = "message from Selvarn time 24/05/02,10:00:00-08 ucs2 text Привет";
const std::string kReport =
    "report ref 12 to +447700900001 status 48 time 24/05/01,09:30:00+04 done "
    "24/05/01,09:30:05+04";
const std::string kRefuse = R"(literal \r\nERROR\r\n)";
const std::string kLongCyrillic = [] {
  std::string s;
  for (int i = 0; i < 71; ++i) s += "ж";
  return s;
}();

struct TextCase {
  std::vector<std::string> args;
  int code;
  std::string out;
  std::string err = "";
};

class Commands : public CommandLine {};

TEST_F(Commands, PrintTheirResultsAndExitStatus) {
  const TextCase cases[] = {
      {{"--sim", "init"}, 0, "OK\n"},
      {{"--sim", "--do", "set sim pin", "init"}, 1, "PINRequired\n"},
      {{"--sim", "--do", "set sim pin", "--pin", "1234", "init"}, 0, "OK\n"},
      {{"--sim", "--do", "set sim pin", "--pin", "4321", "init"}, 1, "PINWrong\n"},
      {{"--sim", "network"}, 0, "registered\n"},
      {{"--sim", "--do", "set creg 0 2", "network"}, 1, "not registered\n"},
      {{"--sim", "send", "+447700900001", "Hi"},
       0,
       "sent as message 1 (7bit), message reference 1\n"},
      {{"--sim", "send", "--ref", "77", "+447700900001", std::string(400, 'a')},
       0,
       "sent as message 1 (7bit, 3 parts), message references 1,2,3\n",
       "part 1 of 3 sent\npart 2 of 3 sent\npart 3 of 3 sent\n"},
      // 71 characters outside the 7-bit alphabet: two UCS2 parts of 67 and 4.
      {{"--sim", "send", "+447700900001", kLongCyrillic},
       0,
       "sent as message 1 (unicode, 2 parts), message references 1,2\n",
       "part 1 of 2 sent\npart 2 of 2 sent\n"},
      {{"--sim", "--do", "fault AT+CMGS " + kRefuse, "send", "1234", "Hi"}, 1, "not sent\n"},
      {{"--sim", "--do", kMessage, "--do", kMessage2, "read", "--all"},
       0,
       "Id:     1\nFrom:   +447700900001\nCentre: +447785016005\nTime:   24/05/01,09:30:00+04\n"
       "Text:   Hello\n\nId:     2\nFrom:   Selvarn\nCentre: +447785016005\nTime:   "
       "24/05/02,10:00:00-08\nText:   Привет\n"},
      {{"--sim", "--do", kMessage, "--do", kMessage2, "read"},
       0,
       "Id:     1\nFrom:   +447700900001\nCentre: +447785016005\nTime:   24/05/01,09:30:00+04\n"
       "Text:   Hello\n"},
      {{"--sim", "read"}, 1, "no message\n"},
      {{"--sim", "read", "--all"}, 0, "no message\n"},
      // Stored, so shown once; the run stops rather than read it again and again.
      {{"--sim", "--do", kMessage, "--do", "fault AT+CMGD " + kRefuse, "read", "--all"},
       1,
       "Id:     1\nFrom:   +447700900001\nCentre: +447785016005\nTime:   24/05/01,09:30:00+04\n"
       "Text:   Hello\n",
       "selvarn-sms: the modem did not delete a stored message: it stays on the SIM\n"},
      {{"--sim", "reports", "on"}, 0, "delivery reports on\n"},
      {{"--sim", "--do", "fault AT+CNMI " + kRefuse, "reports", "off"},
       1,
       "the modem refused to switch delivery reports off\n"},
      {{"--sim", "--do", kReport, "report"},
       0,
       "Reference: 12\nRecipient: +447700900001\nReceived:  24/05/01 09:30:00\n"
       "Forwarded: 24/05/01 09:30:05\nStatus:    Undelivered\n"},
      {{"--sim", "report"}, 1, "no report\n"},
      {{"--sim", "report", "--all"}, 0, "no report\n"},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const Outcome o = Run(c.args);
    EXPECT_EQ(o.out, c.out);
    EXPECT_EQ(o.code, c.code);
    EXPECT_EQ(o.err, c.err);
  }
}

struct JsonCase {
  std::vector<std::string> args;
  int code;
  std::vector<json> objects;
};

TEST_F(Commands, PrintOneJsonObjectPerResult) {
  const JsonCase cases[] = {
      {{"init"}, 0, {{{"command", "init"}, {"status", "OK"}}}},
      {{"--do", "set sim absent", "network"},
       1,
       {{{"command", "network"}, {"status", "SIMError"}, {"initialised", false}}}},
      {{"send", "--ref", "5", "1234", std::string(161, 'x')},
       0,
       {{{"command", "send"},
         {"to", "1234"},
         {"id", 1},
         {"coding", "7bit"},
         {"references", {1, 2}},
         {"long_reference", 5},
         {"sent", true}}}},
      {{"--do", kMessage, "--do", kMessage2, "read", "--all"},
       0,
       {{{"command", "read"},
         {"id", 1},
         {"sender", "+447700900001"},
         {"centre", "+447785016005"},
         {"timestamp", "24/05/01,09:30:00+04"},
         {"text", "Hello"},
         {"parts", 1},
         {"complete", true}},
        {{"command", "read"},
         {"id", 2},
         {"sender", "Selvarn"},
         {"centre", "+447785016005"},
         {"timestamp", "24/05/02,10:00:00-08"},
         {"text", "Привет"},
         {"parts", 1},
         {"complete", true}}}},
      {{"read"}, 1, {{{"command", "read"}, {"found", false}}}},
      {{"reports", "off"}, 0, {{{"command", "reports"}, {"reports", "off"}, {"ok", true}}}},
      {{"--do", kReport, "report"},
       0,
       {{{"command", "report"},
         {"found", true},
         {"complete", true},
         {"reference", "12"},
         {"recipient", "+447700900001"},
         {"received_date", "24/05/01"},
         {"received_time", "09:30:00"},
         {"forwarded_date", "24/05/01"},
         {"forwarded_time", "09:30:05"},
         {"status", "Undelivered"}}}},
  };
  for (const JsonCase& c : cases) {
    std::vector<std::string> args = {"--sim", "--json"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(::testing::PrintToString(args));
    const Outcome o = Run(args);
    std::vector<json> got;
    for (const std::string& line : Lines(o.out)) got.push_back(json::parse(line));
    EXPECT_EQ(got, c.objects);
    EXPECT_EQ(o.code, c.code) << o.err;
  }
}

TEST_F(Commands, RunTimeErrorsExitThreeWithNumberAndDescription) {
  // An undecodable message is reported and stays; the one behind it is still read.
  const Outcome bad = Run(
      {"--sim", "--json", "--do", "message pdu 0791447758100650040B91", "--do", kMessage, "read"});
  EXPECT_EQ(bad.code, 3);
  ASSERT_EQ(Lines(bad.out).size(), 2u) << bad.out;
  EXPECT_EQ(json::parse(Lines(bad.out)[0])["error"]["number"], 5);
  EXPECT_EQ(json::parse(Lines(bad.out)[1])["text"], "Hello");
  EXPECT_TRUE(bad.err.starts_with("selvarn-sms: error 5: ")) << bad.err;
  EXPECT_TRUE(bad.err.ends_with("(the message stays on the SIM)\n")) << bad.err;

  const Outcome missing = Run({"--device", "/nonexistent/ttyUSB9", "init"});
  EXPECT_EQ(missing.code, 3);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err,
            "selvarn-sms: error 8010: Cannot open /nonexistent/ttyUSB9: No such file or "
            "directory\n");
}

TEST_F(Commands, UsageErrorsExitTwoWithOneLineAndTheUsage) {
  const struct {
    std::vector<std::string> args;
    std::string error;  // first line of standard error
    std::string usage;  // start of the second
  } cases[] = {
      {{}, "no command given", "usage: selvarn-sms [--port N"},
      {{"frob"}, "unknown command \"frob\"", "usage: selvarn-sms [--port N"},
      {{"--json", "frob", "now"}, "unknown command \"frob\"", "usage: selvarn-sms [--port N"},
      {{"--port", "65536", "init"},
       "--port: Value 65536 not in range 1 to 32767",
       "usage: selvarn-sms [OPTIONS] init"},
      {{"--port", "0", "init"}, "--port: Value 0 not in range 1 to 32767", "usage:"},
      {{"--port", "70000"}, "--port: Value 70000 not in range", "usage: selvarn-sms [--port N"},
      {{"--port", "3", "--sim", "init"}, "--port excludes --sim", "usage:"},
      {{"--do", "set sim pin", "init"}, "--do requires --sim", "usage:"},
      {{"--sim", "--do", "set nothing 1", "init"}, "simulator: ", "usage:"},
      {{"--pin", "12a4", "init"}, "the PIN must be 4 to 8 digits", "usage:"},
      {{"send", "123"},
       "TEXT is required",
       "usage: selvarn-sms [OPTIONS] send [--unicode | --7bit]"},
      {{"reports", "maybe"},
       "STATE: maybe not in {on,off}",
       "usage: selvarn-sms [OPTIONS] reports"},
      {{"--sim", "send", "12ab", "Hi"}, "the number \"12ab\" may hold only digits", "usage:"},
      {{"--sim", "send", "+", "Hi"}, "the number \"+\" must have 1 to 20 digits", "usage:"},
      {{"--sim", "send", "123", "caf\xe9"}, "the text is not UTF-8 text", "usage:"},
      {{"--sim", "send", "123", ""}, "the text is empty", "usage:"},
      {{"--sim", "send", "--ref", "256", "123", "Hi"},
       "--ref: Value 256 not in range 0 to 255",
       "usage:"},
      {{"--sim", "send", "123", std::string(255 * 153 + 1, 'a')},
       "the text is too long: a long message has at most 255 parts",
       "usage:"},
      {{"--sim", "send", "--unicode", "123", std::string(255 * 67 + 1, 'a')},
       "the text is too long: a long message has at most 255 parts",
       "usage:"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const Outcome o = Run(c.args);
    EXPECT_EQ(o.code, 2);
    EXPECT_EQ(o.out, "");
    const auto lines = Lines(o.err);
    ASSERT_GE(lines.size(), 2u) << o.err;
    EXPECT_TRUE(lines[0].starts_with("selvarn-sms: " + c.error)) << lines[0];
    EXPECT_TRUE(lines[1].starts_with(c.usage)) << lines[1];
  }
  // Standard input is held to the same rule as an argument.
  const Outcome o = Run({"--sim", "send", "123", "-"}, "a\xff");
  EXPECT_EQ(o.code, 2);
  EXPECT_EQ(Lines(o.err).at(0), "selvarn-sms: standard input is not UTF-8 text");
}

TEST_F(Commands, HelpTellsWhatToTypeWithExamples) {
  const Outcome main_help = Run({"--help"});
  EXPECT_EQ(main_help.code, 0);
  for (const char* word : {"--port", "--device", "--sim", "--pin", "--json", "--trace", "init",
                           "network", "send", "read", "reports", "report", "ports",
                           "Examples:", "selvarn-sms --sim send +447700900123", "Exit status"}) {
    EXPECT_NE(main_help.out.find(word), std::string::npos) << word;
  }
  const Outcome send_help = Run({"send", "--help"});
  EXPECT_EQ(send_help.code, 0);
  for (const char* word : {"NUMBER", "TEXT", "--unicode", "--ref", "--report", "Examples:"}) {
    EXPECT_NE(send_help.out.find(word), std::string::npos) << word;
  }
}

}  // namespace
}  // namespace selvarn::testing
