// Answers exactly as they come over the pty, with and without echo, one command after
// another so that answers depending on what came before (PIN tries, busy SMS service) show.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "client.hpp"
#include "modemsim/simulator.hpp"

namespace modemsim_test {
namespace {

using selvarn::modemsim::ModemState;
using selvarn::modemsim::SimState;
using selvarn::modemsim::Simulator;
using selvarn::modemsim::SubmittedMessage;

const ModemState kQuiet{.echo = false};
const ModemState kNeedsPin{.echo = false, .sim = SimState::PinRequired};
const std::string kOk = "\r\nOK\r\n";
const std::string kError = "\r\nERROR\r\n";
const std::string kWrongPin = "\r\n+CME ERROR: 16\r\n";
const std::string kCsq = "\r\n+CSQ: 20,99\r\n";
const std::string kBusy = "\r\n+CMS ERROR: 515\r\n";
const std::string kService = "\r\n+CSMS: 1,1,1\r\n" + kOk;
const std::string kPdu = "0011000B916407281553F80000AA0AE8329BFD4697D9EC37";  // 23 TPDU octets

std::string Cpin(const std::string& state) { return "\r\n+CPIN: " + state + "\r\n" + kOk; }
std::string Creg(const std::string& fields) { return "\r\n+CREG: " + fields + "\r\n" + kOk; }

const Dialogue kDialogues[] = {
    // Framing.
    {"OkEchoed", {}, {{"AT\r", "AT\r" + kOk}}},
    {"LowerCaseAndLineFeedEchoed", {}, {{"at\r\n", "at\r" + kOk + "\n"}}},
    {"LinesIgnored", {}, {{"\r", "\r"}, {"HELLO\r", "HELLO\r"}, {"AT\r", "AT\r" + kOk}}},
    {"ErrorEchoed", {}, {{"AT+FOO\r", "AT+FOO\r" + kError}}},
    {"OverlongLine", kQuiet, {{"AT" + std::string(2000, 'E') + "\r", kError}}},
    {"SeveralCommandsOneOk", {}, {{"ATE0+CMEE=2;+CSQ\r", "ATE0+CMEE=2;+CSQ\r" + kCsq + kOk}}},
    {"ErrorEndsTheLine", kQuiet, {{"AT+CSQ;+FOO;+CSQ\r", kCsq + kError}}},
    {"EchoOffThenReset",
     {},
     {{"ATE0\r", "ATE0\r" + kOk}, {"AT\r", kOk}, {"ATZ\r", kOk}, {"AT\r", "AT\r" + kOk}}},
    {"EchoBackOn", kQuiet, {{"ATE1\r", kOk}, {"AT\r", "AT\r" + kOk}}},
    // Extended errors follow AT+CMEE; 27.005 errors are always numbered.
    {"CmeEchoed", {}, {{"AT+CPIN=1234\r", "AT+CPIN=1234\r\r\n+CME ERROR: 3\r\n"}}},
    {"CmeFollowsCmee",
     kQuiet,
     {{"AT+CPIN=1234\r", "\r\n+CME ERROR: 3\r\n"},
      {"AT+CMEE=2;+CMEE?\r", "\r\n+CMEE: 2\r\n" + kOk},
      {"AT+CPIN=1234\r", "\r\n+CME ERROR: operation not allowed\r\n"},
      {"AT+CMEE=0\r", kOk},
      {"AT+CPIN=1234\r", kError},
      {"AT+CMGF=2\r", "\r\n+CMS ERROR: 302\r\n"}}},
    {"CmsEchoed", {}, {{"AT+CMGF=2\r", "AT+CMGF=2\r\r\n+CMS ERROR: 302\r\n"}}},
    // Registration in modes 0-3; location only while registered.
    {"CregMode0", kQuiet, {{"AT+CREG?\r", Creg("0,1")}}},
    {"CregMode1", {.echo = false, .creg_mode = 1, .creg_stat = 5}, {{"AT+CREG?\r", Creg("1,5")}}},
    {"CregMode2", kQuiet, {{"AT+CREG=2;+CREG?\r", Creg("2,1,\"00C3\",\"1A2B\"")}}},
    {"CregMode2Unregistered",
     {.echo = false, .creg_mode = 2, .creg_stat = 3},
     {{"AT+CREG?\r", Creg("2,3")}}},
    {"CregMode3",
     {.echo = false, .creg_mode = 3, .creg_stat = 5},
     {{"AT+CREG?\r", Creg("3,5,\"00C3\",\"1A2B\",7")}}},
    // SIM: PIN tries down to the PUK.
    {"RightPinAfterTwoWrong",
     kNeedsPin,
     {{"AT+CPIN?\r", Cpin("SIM PIN")},
      {"AT+CPIN=1111\r", kWrongPin},
      {"AT+CPIN=2222\r", kWrongPin},
      {"AT+CPIN=\"1234\"\r", kOk},
      {"AT+CPIN?\r", Cpin("READY")}}},
    {"ThreeWrongThenPuk",
     kNeedsPin,
     {{"AT+CPIN=1111\r", kWrongPin},
      {"AT+CPIN=2222\r", kWrongPin},
      {"AT+CPIN=3333\r", kWrongPin},
      {"AT+CPIN?\r", Cpin("SIM PUK")},
      {"AT+CPIN=1234\r", "\r\n+CME ERROR: 12\r\n"},
      {"AT+CPIN=00000000,4321\r", kWrongPin},
      {"AT+CPIN=12345678,4321\r", kOk},
      {"AT+CPIN?\r", Cpin("READY")}}},
    {"OneTryOnly",
     {.echo = false, .sim = SimState::PinRequired, .pin_tries = 1},
     {{"AT+CPIN=1111\r", kWrongPin}, {"AT+CPIN?\r", Cpin("SIM PUK")}}},
    {"NoSim", {.echo = false, .sim = SimState::Absent}, {{"AT+CPIN?\r", "\r\n+CME ERROR: 10\r\n"}}},
    // Signal and SMS settings.
    {"CsqConfigured",
     {.echo = false, .rssi = 0, .ber = 3},
     {{"AT+CSQ\r", "\r\n+CSQ: 0,3\r\n" + kOk}}},
    {"CsmsBusyTwice",
     {.echo = false, .csms_busy = 2},
     {{"AT+CSMS=0\r", kBusy}, {"AT+CSMS=0\r", kBusy}, {"AT+CSMS=0\r", kService}}},
    {"CsdhSetRead", kQuiet, {{"AT+CSDH=1;+CSDH?\r", "\r\n+CSDH: 1\r\n" + kOk}}},
    {"CmgfSetRead", kQuiet, {{"AT+CMGF=1;+CMGF?\r", "\r\n+CMGF: 1\r\n" + kOk}}},
    // Sending with the prompt.
    {"CmgsWrongLength",
     kQuiet,
     {{"AT+CMGS=22\r" + kPdu + "\x1a", "\r\n> \r\n+CMS ERROR: 304\r\n"}}},
    {"CmgsEscCancels",
     {},
     {{"AT+CMGS=23\r", "AT+CMGS=23\r\r\n> "}, {"0011\x1b", "0011\x1b" + kOk}}},
};

class Dialogues : public testing::TestWithParam<Dialogue> {};

TEST_P(Dialogues, AnswerExactly) { RunDialogue(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Commands, Dialogues, testing::ValuesIn(kDialogues),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Messages, ReferencesCountUpAndBodiesAreKept) {
  TempDir dir;
  Simulator sim({.port_folder = dir.path});
  Client client(sim.link_path());
  for (const std::string reference : {"1", "2"}) {
    EXPECT_TRUE(Answers(client, "AT+CMGS=23\r", "AT+CMGS=23\r\r\n> "));
    EXPECT_TRUE(
        Answers(client, kPdu + "\x1a", kPdu + "\x1a\r\n+CMGS: " + reference + "\r\n" + kOk));
  }
  const auto submitted = sim.State().submitted;
  ASSERT_EQ(submitted.size(), 2u);
  EXPECT_EQ(submitted[1], (SubmittedMessage{"AT+CMGS=23", kPdu, 2}));
}

}  // namespace
}  // namespace modemsim_test
