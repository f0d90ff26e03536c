// Answers exactly as they come over the pty, with and without echo, one command after
// another so that answers depending on what came before (PIN tries, busy SMS service) show.
#include <gtest/gtest.h>

#include "client.hpp"

namespace modemsim_test {
namespace {

using selvarn::modemsim::ModemState;
using selvarn::modemsim::SimState;

const ModemState kQuiet{.echo = false};
const ModemState kNeedsPin{.echo = false, .sim = SimState::PinRequired};
const std::string kOk = "\r\nOK\r\n";
const std::string kError = "\r\nERROR\r\n";
const std::string kWrongPin = "\r\n+CME ERROR: 16\r\n";
const std::string kCsq = "\r\n+CSQ: 20,99\r\n";
const std::string kBusy = "\r\n+CMS ERROR: 515\r\n";
const std::string kPdu = "0011000B916407281553F80000AA0AE8329BFD4697D9EC37";  // 23 TPDU octets

std::string Info(const std::string& name, const std::string& fields) {
  return "\r\n+" + name + ": " + fields + "\r\n" + kOk;
}

const Dialogue kDialogues[] = {
    // Framing, echo on, off, and back on after a reset or ATE1.
    {"Framing",
     {},
     {{"AT\r", "AT\r" + kOk},
      {"at\r\n", "at\r" + kOk + "\n"},
      {"\r", "\r"},
      {"HELLO\r", "HELLO\r"},
      {"AT+FOO\r", "AT+FOO\r" + kError},
      {"ATE0+CMEE=2;+CSQ\r", "ATE0+CMEE=2;+CSQ\r" + kCsq + kOk},
      {"AT\r", kOk},
      {"AT+CSQ;+FOO;+CSQ\r", kCsq + kError},
      {"AT" + std::string(2000, 'E') + "\r", kError},
      {"ATZ\r", kOk},
      {"AT\r", "AT\r" + kOk},
      {"ATE0\r", "ATE0\r" + kOk},
      {"ATE1\r", kOk},
      {"AT\r", "AT\r" + kOk}}},
    // Extended errors follow AT+CMEE; 27.005 errors are always numbered.
    {"Errors",
     {},
     {{"AT+CPIN=1234\r", "AT+CPIN=1234\r\r\n+CME ERROR: 3\r\n"},
      {"AT+CMGF=2\r", "AT+CMGF=2\r\r\n+CMS ERROR: 302\r\n"},
      {"ATE0+CMEE=2;+CMEE?\r", "ATE0+CMEE=2;+CMEE?\r" + Info("CMEE", "2")},
      {"AT+CPIN=1234\r", "\r\n+CME ERROR: operation not allowed\r\n"},
      {"AT+CMEE=0\r", kOk},
      {"AT+CPIN=1234\r", kError},
      {"AT+CMGF=2\r", "\r\n+CMS ERROR: 302\r\n"}}},
    // Registration in modes 0-3; location only while registered.
    {"Registered",
     kQuiet,
     {{"AT+CREG?\r", Info("CREG", "0,1")},
      {"AT+CREG=2;+CREG?\r", Info("CREG", "2,1,\"00C3\",\"1A2B\"")},
      {"AT+CREG=1;+CREG?\r", Info("CREG", "1,1")},
      {"AT+CREG=3;+CREG?\r", Info("CREG", "3,1,\"00C3\",\"1A2B\",7")}}},
    {"Unregistered",
     {.echo = false, .creg_mode = 2, .creg_stat = 3},
     {{"AT+CREG?\r", Info("CREG", "2,3")}, {"AT+CREG=3;+CREG?\r", Info("CREG", "3,3")}}},
    // SIM: PIN tries down to the PUK.
    {"RightPinAfterTwoWrong",
     kNeedsPin,
     {{"AT+CPIN?\r", Info("CPIN", "SIM PIN")},
      {"AT+CPIN=1111\r", kWrongPin},
      {"AT+CPIN=2222\r", kWrongPin},
      {"AT+CPIN=\"1234\"\r", kOk},
      {"AT+CPIN?\r", Info("CPIN", "READY")}}},
    {"ThreeWrongThenPuk",
     kNeedsPin,
     {{"AT+CPIN=1111\r", kWrongPin},
      {"AT+CPIN=2222\r", kWrongPin},
      {"AT+CPIN=3333\r", kWrongPin},
      {"AT+CPIN?\r", Info("CPIN", "SIM PUK")},
      {"AT+CPIN=1234\r", "\r\n+CME ERROR: 12\r\n"},
      {"AT+CPIN=00000000,4321\r", kWrongPin},
      {"AT+CPIN=12345678,4321\r", kOk},
      {"AT+CPIN?\r", Info("CPIN", "READY")}}},
    {"OneTryOnly",
     {.echo = false, .sim = SimState::PinRequired, .pin_tries = 1},
     {{"AT+CPIN=1111\r", kWrongPin}, {"AT+CPIN?\r", Info("CPIN", "SIM PUK")}}},
    {"NoSim", {.echo = false, .sim = SimState::Absent}, {{"AT+CPIN?\r", "\r\n+CME ERROR: 10\r\n"}}},
    // Signal and SMS settings.
    {"Settings",
     {.echo = false, .rssi = 0, .ber = 3, .csms_busy = 2},
     {{"AT+CSQ\r", Info("CSQ", "0,3")},
      {"AT+CSMS=0\r", kBusy},
      {"AT+CSMS=0\r", kBusy},
      {"AT+CSMS=0\r", Info("CSMS", "1,1,1")},
      {"AT+CSDH=1;+CSDH?;+CMGF=1;+CMGF?\r", "\r\n+CSDH: 1\r\n" + Info("CMGF", "1")}}},
    // The prompt and the PDU echoed; ESC cancels.
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
  selvarn::modemsim::Simulator sim({.port_folder = dir.path});
  Client client(sim.link_path());
  for (const std::string reference : {"1", "2"}) {
    EXPECT_TRUE(Answers(client, "AT+CMGS=23\r", "AT+CMGS=23\r\r\n> "));
    EXPECT_TRUE(Answers(client, kPdu + "\x1a", kPdu + "\x1a" + Info("CMGS", reference)));
  }
  const auto submitted = sim.State().submitted;
  ASSERT_EQ(submitted.size(), 2u);
  EXPECT_EQ(submitted[1], (selvarn::modemsim::SubmittedMessage{"AT+CMGS=23", kPdu, 2}));
}

}  // namespace
}  // namespace modemsim_test
