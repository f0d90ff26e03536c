// Conversations whose answers depend on what came before: PIN tries down to the PUK,
// the SIM busy after its PIN, messages taken one after another.
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

struct Step {
  std::string line;    // sent with its CR
  std::string answer;  // echo is off
};

struct Dialogue {
  const char* name;
  ModemState state;
  std::vector<Step> steps;
  SimState sim_after;
  std::string pin_after;
};

const std::string kOk = "\r\nOK\r\n";
const std::string kWrong = "\r\n+CME ERROR: 16\r\n";
const std::string kAskPin = "\r\n+CPIN: SIM PIN\r\n" + kOk;
const std::string kAskPuk = "\r\n+CPIN: SIM PUK\r\n" + kOk;
const std::string kReady = "\r\n+CPIN: READY\r\n" + kOk;
const std::string kBusy = "\r\n+CMS ERROR: 515\r\n";
const std::string kService = "\r\n+CSMS: 1,1,1\r\n" + kOk;

const Dialogue kDialogues[] = {
    {"RightPinAfterTwoWrong",
     {.echo = false, .sim = SimState::PinRequired},
     {{"AT+CPIN?", kAskPin},
      {"AT+CPIN=1111", kWrong},
      {"AT+CPIN=2222", kWrong},
      {"AT+CPIN?", kAskPin},
      {"AT+CPIN=1234", kOk},
      {"AT+CPIN?", kReady},
      {"AT+CPIN=1234", "\r\n+CME ERROR: 3\r\n"}},
     SimState::Ready,
     "1234"},
    {"RightPinRefillsTheTries",
     {.echo = false, .sim = SimState::PinRequired},
     {{"AT+CPIN=1111", kWrong}, {"AT+CPIN=2222", kWrong}, {"AT+CPIN=\"1234\"", kOk}},
     SimState::Ready,
     "1234"},
    {"ThreeWrongAskForPuk",
     {.echo = false, .sim = SimState::PinRequired},
     {{"AT+CPIN=1111", kWrong},
      {"AT+CPIN=2222", kWrong},
      {"AT+CPIN=3333", kWrong},
      {"AT+CPIN?", kAskPuk},
      {"AT+CPIN=1234", "\r\n+CME ERROR: 12\r\n"}},
     SimState::PukRequired,
     "1234"},
    {"OneTryOnly",
     {.echo = false, .sim = SimState::PinRequired, .pin = "0000", .pin_tries = 1},
     {{"AT+CPIN=1234", kWrong}, {"AT+CPIN?", kAskPuk}},
     SimState::PukRequired,
     "0000"},
    {"PukSetsNewPin",
     {.echo = false, .sim = SimState::PukRequired},
     {{"AT+CPIN=00000000,4321", kWrong}, {"AT+CPIN=12345678,4321", kOk}, {"AT+CPIN?", kReady}},
     SimState::Ready,
     "4321"},
    {"NoSimTakesNoPin",
     {.echo = false, .sim = SimState::Absent},
     {{"AT+CPIN=1234", "\r\n+CME ERROR: 10\r\n"}, {"AT+CPIN?", "\r\n+CME ERROR: 10\r\n"}},
     SimState::Absent,
     "1234"},
    {"ServiceBusyTwice",
     {.echo = false, .csms_busy = 2},
     {{"AT+CSMS=0", kBusy}, {"AT+CSMS=0", kBusy}, {"AT+CSMS=0", kService}, {"AT+CSMS=0", kService}},
     SimState::Ready,
     "1234"},
    {"ServiceBusyAfterPin",
     {.echo = false, .sim = SimState::PinRequired, .csms_busy = 1},
     {{"AT+CSMS=0", "\r\n+CMS ERROR: 311\r\n"},
      {"AT+CPIN=1234", kOk},
      {"AT+CSMS=0", kBusy},
      {"AT+CSMS=0", kService}},
     SimState::Ready,
     "1234"},
};

void PrintTo(const Dialogue& d, std::ostream* os) { *os << d.name; }

class Dialogues : public testing::TestWithParam<Dialogue> {
 protected:
  TempDir dir_;
};

TEST_P(Dialogues, AnswerStepByStep) {
  const Dialogue& d = GetParam();
  Simulator sim({.port_folder = dir_.path, .modem = d.state});
  Client client(sim.link_path());
  for (const Step& step : d.steps) {
    EXPECT_TRUE(Answers(client, step.line + "\r", step.answer));
  }
  EXPECT_EQ(sim.State().sim, d.sim_after);
  EXPECT_EQ(sim.State().pin, d.pin_after);
}

INSTANTIATE_TEST_SUITE_P(Sim, Dialogues, testing::ValuesIn(kDialogues),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Messages, ReferencesCountUpAndBodiesAreKept) {
  TempDir dir;
  Simulator sim({.port_folder = dir.path, .modem = {.echo = false}});
  Client client(sim.link_path());
  const std::string pdu =
      "07911326040000F0"
      "1100"
      "0B916407281553F80000AA00";
  const std::string length = std::to_string(pdu.size() / 2 - 8);
  for (int reference : {1, 2}) {
    EXPECT_TRUE(Answers(client, "AT+CMGS=" + length + "\r", "\r\n> "));
    const std::string answer = "\r\n+CMGS: " + std::to_string(reference) + "\r\n" + kOk;
    EXPECT_TRUE(Answers(client, pdu + "\x1a", answer));
  }
  // A cancelled entry sends nothing.
  EXPECT_TRUE(Answers(client, "AT+CMGS=" + length + "\r", "\r\n> "));
  EXPECT_TRUE(Answers(client, pdu + "\x1b", kOk));
  const auto submitted = sim.State().submitted;
  ASSERT_EQ(submitted.size(), 2u);
  EXPECT_EQ(submitted[0].command, "AT+CMGS=" + length);
  EXPECT_EQ(submitted[0].body, pdu);
  EXPECT_EQ(submitted[1].reference, 2);
}

}  // namespace
}  // namespace modemsim_test
