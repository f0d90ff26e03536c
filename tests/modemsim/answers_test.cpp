// Each command's answers, exactly as they come over the pty, with and without echo.
#include <gtest/gtest.h>

#include "client.hpp"
#include "modemsim/simulator.hpp"

namespace modemsim_test {
namespace {

using selvarn::modemsim::ModemState;
using selvarn::modemsim::Options;
using selvarn::modemsim::SimState;
using selvarn::modemsim::Simulator;

struct AnswerCase {
  const char* name;
  ModemState state;
  std::string input;
  std::string expected;  // everything that comes back: echo and answers
};

const std::string kPdu = "0011000B916407281553F80000AA0AE8329BFD4697D9EC37";  // 23 TPDU octets

const AnswerCase kAnswers[] = {
    // Framing.
    {"AtEchoed", {}, "AT\r", "AT\r\r\nOK\r\n"},
    {"AtWithoutEcho", {.echo = false}, "AT\r", "\r\nOK\r\n"},
    {"LowerCase", {}, "at\r", "at\r\r\nOK\r\n"},
    {"LineFeedIgnoredButEchoed", {}, "AT\r\n", "AT\r\r\nOK\r\n\n"},
    {"EmptyLineIgnored", {}, "\r", "\r"},
    {"EmptyLineWithoutEcho", {.echo = false}, "\r", ""},
    {"SecondCrAfterCommand", {}, "AT+CMGF=0\r\r", "AT+CMGF=0\r\r\nOK\r\n\r"},
    {"NotAnAtLine", {}, "HELLO\r", "HELLO\r"},
    {"MixedCasePrefixIgnored", {.echo = false}, "At\r", ""},
    {"UnknownCommand", {}, "AT+FOO\r", "AT+FOO\r\r\nERROR\r\n"},
    {"MalformedLine", {.echo = false}, "AT+\r", "\r\nERROR\r\n"},
    {"SpacesIgnored", {.echo = false}, "AT + CSQ\r", "\r\n+CSQ: 20,99\r\n\r\nOK\r\n"},
    {"SeveralCommandsOneOk",
     {},
     "ATE0+CMEE=2;+CSQ\r",
     "ATE0+CMEE=2;+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\n"},
    {"ErrorEndsTheLine", {.echo = false}, "AT+CSQ;+FOO;+CSQ\r", "\r\n+CSQ: 20,99\r\n\r\nERROR\r\n"},
    {"EchoOffThenReset", {}, "ATE0\rATZ\rAT\r", "ATE0\r\r\nOK\r\n\r\nOK\r\nAT\r\r\nOK\r\n"},
    {"EchoBackOn", {.echo = false}, "ATE1\rAT\r", "\r\nOK\r\nAT\r\r\nOK\r\n"},
    {"Identification", {.echo = false}, "ATI\r", "\r\nselvarn-modemsim\r\n\r\nOK\r\n"},
    {"OverlongLine", {.echo = false}, "AT" + std::string(2000, 'E') + "\r", "\r\nERROR\r\n"},
    // Extended errors follow AT+CMEE; 27.005 errors are always numbered.
    {"CmeNumbered", {.echo = false}, "AT+CPIN=1234\r", "\r\n+CME ERROR: 3\r\n"},
    {"CmeEchoed", {}, "AT+CPIN=1234\r", "AT+CPIN=1234\r\r\n+CME ERROR: 3\r\n"},
    {"CmePlain", {.echo = false, .cmee = 0}, "AT+CPIN=1234\r", "\r\nERROR\r\n"},
    {"CmeVerbose",
     {.echo = false, .cmee = 2},
     "AT+CPIN=1234\r",
     "\r\n+CME ERROR: operation not allowed\r\n"},
    {"CmsEchoed", {}, "AT+CMGF=2\r", "AT+CMGF=2\r\r\n+CMS ERROR: 302\r\n"},
    {"CmsEvenWithCmee0", {.echo = false, .cmee = 0}, "AT+CMGF=2\r", "\r\n+CMS ERROR: 302\r\n"},
    {"CmeeRead", {.echo = false}, "AT+CMEE?\r", "\r\n+CMEE: 1\r\n\r\nOK\r\n"},
    {"CmeeSetThenRead", {.echo = false}, "AT+CMEE=2;+CMEE?\r", "\r\n+CMEE: 2\r\n\r\nOK\r\n"},
    {"CmeeOutOfRange", {.echo = false}, "AT+CMEE=3\r", "\r\nERROR\r\n"},
    // Registration.
    {"CregHome", {.echo = false}, "AT+CREG?\r", "\r\n+CREG: 0,1\r\n\r\nOK\r\n"},
    {"CregRoaming",
     {.echo = false, .creg_mode = 1, .creg_stat = 5},
     "AT+CREG?\r",
     "\r\n+CREG: 1,5\r\n\r\nOK\r\n"},
    {"CregSearching",
     {.echo = false, .creg_stat = 2},
     "AT+CREG?\r",
     "\r\n+CREG: 0,2\r\n\r\nOK\r\n"},
    {"CregMode2Location",
     {.echo = false, .creg_mode = 2},
     "AT+CREG?\r",
     "\r\n+CREG: 2,1,\"00C3\",\"1A2B\"\r\n\r\nOK\r\n"},
    {"CregMode3AccessTechnology",
     {.echo = false, .creg_mode = 3, .creg_stat = 5},
     "AT+CREG?\r",
     "\r\n+CREG: 3,5,\"00C3\",\"1A2B\",7\r\n\r\nOK\r\n"},
    {"CregMode2NoLocationUnregistered",
     {.echo = false, .creg_mode = 2, .creg_stat = 3},
     "AT+CREG?\r",
     "\r\n+CREG: 2,3\r\n\r\nOK\r\n"},
    {"CregSetMode",
     {.echo = false},
     "AT+CREG=2;+CREG?\r",
     "\r\n+CREG: 2,1,\"00C3\",\"1A2B\"\r\n\r\nOK\r\n"},
    {"CregModeOutOfRange", {.echo = false}, "AT+CREG=4\r", "\r\nERROR\r\n"},
    // Signal.
    {"CsqDefault", {}, "AT+CSQ\r", "AT+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\n"},
    {"CsqConfigured",
     {.echo = false, .rssi = 0, .ber = 3},
     "AT+CSQ\r",
     "\r\n+CSQ: 0,3\r\n\r\nOK\r\n"},
    {"CsqTest", {.echo = false}, "AT+CSQ=?\r", "\r\n+CSQ: (0-31,99),(0-7,99)\r\n\r\nOK\r\n"},
    // SIM status.
    {"CpinReady", {.echo = false}, "AT+CPIN?\r", "\r\n+CPIN: READY\r\n\r\nOK\r\n"},
    {"CpinPin",
     {.echo = false, .sim = SimState::PinRequired},
     "AT+CPIN?\r",
     "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n"},
    {"CpinPuk",
     {.echo = false, .sim = SimState::PukRequired},
     "AT+CPIN?\r",
     "\r\n+CPIN: SIM PUK\r\n\r\nOK\r\n"},
    {"CpinNoSim", {.echo = false, .sim = SimState::Absent}, "AT+CPIN?\r", "\r\n+CME ERROR: 10\r\n"},
    // Message service and formats.
    {"CsmsSet", {.echo = false}, "AT+CSMS=0\r", "\r\n+CSMS: 1,1,1\r\n\r\nOK\r\n"},
    {"CsmsRead",
     {.echo = false},
     "AT+CSMS=1;+CSMS?\r",
     "\r\n+CSMS: 1,1,1\r\n\r\n+CSMS: 1,1,1,1\r\n\r\nOK\r\n"},
    {"CsmsBadService", {.echo = false}, "AT+CSMS=2\r", "\r\n+CMS ERROR: 302\r\n"},
    {"CsmsNeedsPin",
     {.echo = false, .sim = SimState::PinRequired},
     "AT+CSMS=0\r",
     "\r\n+CMS ERROR: 311\r\n"},
    {"CsdhSetRead", {.echo = false}, "AT+CSDH=1;+CSDH?\r", "\r\n+CSDH: 1\r\n\r\nOK\r\n"},
    {"CsdhBad", {.echo = false}, "AT+CSDH=2\r", "\r\n+CMS ERROR: 302\r\n"},
    {"CmgfRead", {.echo = false}, "AT+CMGF?\r", "\r\n+CMGF: 0\r\n\r\nOK\r\n"},
    {"CmgfSetRead", {.echo = false}, "AT+CMGF=1;+CMGF?\r", "\r\n+CMGF: 1\r\n\r\nOK\r\n"},
    {"CmgfEmpty", {.echo = false}, "AT+CMGF=\r", "\r\n+CMS ERROR: 302\r\n"},
    {"CmgfTest", {.echo = false}, "AT+CMGF=?\r", "\r\n+CMGF: (0,1)\r\n\r\nOK\r\n"},
    // Sending with the prompt.
    {"CmgsPdu",
     {},
     "AT+CMGS=23\r" + kPdu + "\x1a",
     "AT+CMGS=23\r\r\n> " + kPdu + "\x1a\r\n+CMGS: 1\r\n\r\nOK\r\n"},
    {"CmgsPduLineBreaksIgnored",
     {.echo = false},
     "AT+CMGS=23\r" + kPdu + "\r\n\x1a",
     "\r\n> \r\n+CMGS: 1\r\n\r\nOK\r\n"},
    {"CmgsWrongLength",
     {.echo = false},
     "AT+CMGS=22\r" + kPdu + "\x1a",
     "\r\n> \r\n+CMS ERROR: 304\r\n"},
    {"CmgsNotHex", {.echo = false}, "AT+CMGS=1\r00XY\x1a", "\r\n> \r\n+CMS ERROR: 304\r\n"},
    {"CmgsBadLength", {.echo = false}, "AT+CMGS=0\r", "\r\n+CMS ERROR: 304\r\n"},
    {"CmgsEscCancels",
     {},
     "AT+CMGS=23\r0011\x1b"
     "AT\r",
     "AT+CMGS=23\r\r\n> 0011\x1b\r\nOK\r\nAT\r\r\nOK\r\n"},
    {"CmgsText",
     {.echo = false, .cmgf = 1},
     "AT+CMGS=\"+4912345\"\rHello\x1a",
     "\r\n> \r\n+CMGS: 1\r\n\r\nOK\r\n"},
    {"CmgsNeedsPin",
     {.echo = false, .sim = SimState::PinRequired},
     "AT+CMGS=23\r",
     "\r\n+CMS ERROR: 311\r\n"},
    {"CmgsMustEndTheLine", {.echo = false}, "AT+CMGS=23;+CSQ\r", "\r\nERROR\r\n"},
};

void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.name; }

class Answers : public testing::TestWithParam<AnswerCase> {
 protected:
  TempDir dir_;
};

TEST_P(Answers, ComeBackExactly) {
  const AnswerCase& c = GetParam();
  Simulator sim({.port_folder = dir_.path, .modem = c.state});
  Client client(sim.link_path());
  client.Write(c.input);
  EXPECT_EQ(client.Read(c.expected.size()), c.expected);
  EXPECT_EQ(sim.Received(), c.input);
}

INSTANTIATE_TEST_SUITE_P(Commands, Answers, testing::ValuesIn(kAnswers),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace modemsim_test
