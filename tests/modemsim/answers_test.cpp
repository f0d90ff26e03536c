// Answers exactly as they come over the pty, with and without echo, one command after
// another so that answers depending on what came before (PIN tries) show; and the message
// memory and network where the simulator does more than the library's own wire tests
// reach: checks on a sent PDU, long texts cut into parts, a full memory, indications held
// back. PDUs worked out by hand from 23.040.
#include <gtest/gtest.h>

#include "client.hpp"
#include "modemsim/simulator.hpp"

namespace modemsim_test {
namespace {

using selvarn::modemsim::MessageStatus;
using selvarn::modemsim::ModemState;
using selvarn::modemsim::SimState;
using selvarn::modemsim::Simulator;

const ModemState kQuiet{.echo = false};
const ModemState kNeedsPin{.echo = false, .sim = SimState::PinRequired};
const std::string kError = "\r\nERROR\r\n";
const std::string kWrongPin = "\r\n+CME ERROR: 16\r\n";
const std::string kCsq = "\r\n+CSQ: 20,99\r\n";

std::string Info(const std::string& name, const std::string& fields) {
  return "\r\n+" + name + ": " + fields + "\r\n" + kOk;
}

std::string Cms(int n) { return "\r\n+CMS ERROR: " + std::to_string(n) + "\r\n"; }

const Dialogue kDialogues[] = {
    // Framing, echo on, off, and back on after a reset or ATE1.
    {"Framing",
     {},
     {{"at\r\n", "at\r" + kOk + "\n"},
      {"HELLO\r", "HELLO\r"},
      {"AT+FOO\r", "AT+FOO\r" + kError},
      {"ATE0+CMEE=2;+CSQ\r", "ATE0+CMEE=2;+CSQ\r" + kCsq + kOk},
      {"AT+CSQ;+FOO;+CSQ\r", kCsq + kError},
      {"AT" + std::string(2000, 'E') + "\r", kError},
      {"ATZ\r", kOk},
      {"AT\r", "AT\r" + kOk},
      {"ATE0\r", "ATE0\r" + kOk},
      {"ATE1\r", kOk},
      {"AT\r", "AT\r" + kOk}}},
    // Extended errors follow AT+CMEE; 27.005 errors are always numbered.
    {"Errors",
     kQuiet,
     {{"AT+CPIN=1234\r", "\r\n+CME ERROR: 3\r\n"},
      {"AT+CMEE=2;+CMEE?\r", Info("CMEE", "2")},
      {"AT+CMEE=0;+CPIN=1234\r", kError},
      {"AT+CMGF=2\r", "\r\n+CMS ERROR: 302\r\n"}}},
    // PIN tries down to the PUK, which sets a new PIN.
    {"ThreeWrongThenPuk",
     kNeedsPin,
     {{"AT+CPIN=1111\r", kWrongPin},
      {"AT+CPIN=\"2222\"\r", kWrongPin},
      {"AT+CPIN?\r", Info("CPIN", "SIM PIN")},
      {"AT+CPIN=3333\r", kWrongPin},
      {"AT+CPIN?\r", Info("CPIN", "SIM PUK")},
      {"AT+CPIN=1234\r", "\r\n+CME ERROR: 12\r\n"},
      {"AT+CPIN=00000000,4321\r", kWrongPin},
      {"AT+CPIN=12345678,4321\r", kOk},
      {"AT+CPIN?\r", Info("CPIN", "READY")}}},
    // Memories the library does not use are refused; deletion by index and by delflag;
    // a bare listing shows the unread ones.
    {"MemoriesAndDeletion",
     {.echo = false,
      .sm = {{1, MessageStatus::ReceivedUnread, kHi},
             {2, MessageStatus::ReceivedRead, kHi},
             {3, MessageStatus::StoredSent, kToSelf},
             {4, MessageStatus::StoredUnsent, kToSelf}}},
     {{"AT+CPMS=\"SM\",\"SR\"\r", Cms(302)},
      {"AT+CPMS=?\r", Info("CPMS", "(\"SM\",\"ME\",\"SR\"),(\"SM\",\"ME\"),(\"SM\",\"ME\")")},
      {"AT+CMGD=3\r\r", kOk},
      {"AT+CMGD=3\r", Cms(321)},
      {"AT+CMGD=1,1\r", kOk},
      {"AT+CMGD=?\r", Info("CMGD", "(1,4),(0-4)")},
      {"AT+CMGD=1,3\r", kOk},
      {"AT+CMGD=?\r", Info("CMGD", "(1),(0-4)")},
      {"AT+CMGD=1,5\r", Cms(304)},
      {"AT+CMGL\r", Info("CMGL", "1,0,,21\r\n" + kHi)},
      {"AT+CMGL=0\r", kOk},
      {"AT+CMGR=1\r", Info("CMGR", "1,,21\r\n" + kHi)},
      {"AT+CMGD=0,4;+CMGD=?\r", Info("CMGD", "(),(0-4)")}}},
};

class Dialogues : public testing::TestWithParam<Dialogue> {};

TEST_P(Dialogues, AnswerExactly) { RunDialogue(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Commands, Dialogues, testing::ValuesIn(kDialogues),
                         [](const auto& info) { return std::string(info.param.name); });

// A length that must match the PDU, a PDU that must be an SMS-SUBMIT, references wrapping
// after 255, ESC cancelling. (The typed PDU's echo shows in the profile and transcript tests.)
TEST(Cmgs, ChecksThePdu) {
  RunDialogue({"CmgsChecksThePdu",
               {.echo = false, .next_reference = 255, .own_number = ""},
               {{"AT+CMGS=19\r" + kToSelf + "\x1a", "\r\n> \r\n+CMGS: 255\r\n" + kOk},
                {"AT+CMGS=19\r" + kToSelf + "\x1a", "\r\n> \r\n+CMGS: 0\r\n" + kOk},
                {"AT+CMGS=18\r" + kToSelf + "\x1a", "\r\n> " + Cms(304)},
                {"AT+CMGS=4\r0031000C91\x1a", "\r\n> " + Cms(304)},
                {"AT+CMGS=19\r" + kToSelf.substr(0, 6) + "\x1b", "\r\n> " + kOk}}});
}

class Network : public testing::Test {
 protected:
  void SetUp() override {
    sim_.Set("clock", {"24/05/01,12:00:00"});
    sim_.Set("network-delay", {"0"});
  }
  TempDir dir_;
  Simulator sim_{{.port_folder = dir_.path, .modem = {.echo = false}}};
  Client client_{sim_.link_path()};
};

// A full memory keeps what the network brings until a deletion makes room: nothing lost.
TEST_F(Network, FullMemoryHoldsArrivalsUntilThereIsRoom) {
  sim_.Set("capacity", {"1"});
  sim_.Set("first-index", {"0"});
  sim_.Set("cnmi", {"2", "1", "0", "2", "0"});
  sim_.Deliver({.text = "one"});
  sim_.Deliver({.text = "two"});
  sim_.DeliverReport({.reference = 0});
  EXPECT_EQ(Join(client_.ReadTimed("+CDSI: \"SR\",0\r\n", 1000ms)),
            "\r\n+CMTI: \"SM\",0\r\n\r\n+CDSI: \"SR\",0\r\n");
  EXPECT_THROW(sim_.StoreMessage({.text = "three"}), std::length_error);
  ASSERT_TRUE(Answers(client_, "AT+CMGD=0\r", kOk + "\r\n+CMTI: \"SM\",0\r\n"));
  const auto sm = sim_.Messages("SM");
  ASSERT_EQ(sm.size(), 1u);
  EXPECT_EQ(sm[0].pdu.substr(sm[0].pdu.size() - 8), "03F4FB1B") << "two, not one";
}

// Indications wait while a command is typed or a message entered, and while AT+CNMI mode
// is 0; entering a mode with bfr 0 flushes those after the OK.
TEST_F(Network, IndicationsNeverCutIntoALine) {
  sim_.Set("cnmi", {"0", "1", "0", "0", "0"});
  sim_.Deliver({.text = "one"});
  EXPECT_EQ(client_.ReadFor(50ms), "");
  ASSERT_TRUE(Answers(client_, "AT+CNMI=1,1,0,0,0\r", kOk + "\r\n+CMTI: \"SM\",1\r\n"));
  client_.Write("AT+CMG");
  sim_.Deliver({.text = "two"}, 20ms);
  EXPECT_EQ(client_.ReadFor(80ms), "");
  ASSERT_TRUE(Answers(client_, "F=0\r", kOk + "\r\n+CMTI: \"SM\",2\r\n"));
  client_.Write("AT+CMGS=19\r");
  sim_.Deliver({.text = "three"}, 20ms);
  EXPECT_EQ(client_.ReadFor(80ms), "\r\n> ");
  ASSERT_TRUE(Answers(client_, "\x1b", kOk + "\r\n+CMTI: \"SM\",3\r\n"));
}

}  // namespace
}  // namespace modemsim_test
