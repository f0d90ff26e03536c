// Start-up, network check and the three transactions against the simulated modem, with the
// bytes on the wire; reply cutting on whole answers kept byte for byte.
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "modem/answers.hpp"
#include "modem/modem.hpp"
#include "modem/sim_pin.hpp"
#include "selvarn/sms.hpp"
#include "support/errors.hpp"
#include "support/sim_port.hpp"

namespace selvarn {
namespace {

using modemsim::Fault;
using modemsim::SimState;
using std::chrono::milliseconds;

constexpr std::string_view kStartup = "AT\rAT+CPIN?\rAT+CSMS=0\rAT+CSQ\rAT+CSDH=1\rAT+CMGF=0\r\r";

// The lines of a plain start-up up to `line`, with "AT+CSMS=0" sent `csms` times.
std::string Upto(std::string_view line, int csms = 1) {
  std::string wire(kStartup.substr(0, kStartup.find(line) + line.size()));
  for (int i = 1; i < csms; ++i) wire.insert(wire.find("AT+CSMS=0\r"), "AT+CSMS=0\r");
  return wire;
}

class Startup : public testing::SimulatedModem {
 protected:
  std::int16_t Port() const { return static_cast<std::int16_t>(sim->port()); }
  SMS sms;
};

TEST_F(Startup, EveryOutcomeWithItsLinesAndTime) {
  using Options = modemsim::Options;
  const Options pin{.modem = {.sim = SimState::PinRequired}};
  const Options puk{.modem = {.sim = SimState::PukRequired}};
  const Options no_sim{.modem = {.sim = SimState::Absent}};
  const Fault error{.literal = "\r\nERROR\r\n"}, silent{.silent = true};
  const Fault refused{.literal = "\r\n+CMS ERROR: 500\r\n"};
  const std::string ends = Upto("\r\r"), asked = Upto("AT+CPIN?\r");
  using enum ModemStatus;
  using R = StartReason;
  struct Case {
    Options modem;
    const char* pin;
    ModemStatus result;
    StartReason reason;
    std::string wire;
    std::int64_t min_s = 0, max_s = 2;  // fake seconds the call takes
    const char* fault_on = "AT+NONE";
    Fault fault{};
  } cases[] = {
      {{}, "1234", OK, R::NoFailure, ends},  // ready SIM: the PIN is not sent
      {{.speed = 9600}, "", OK, R::NoFailure, "AT\r" + ends, 7, 9},
      {pin, "1234", OK, R::NoFailure, asked + "AT+CPIN=1234\r" + ends.substr(12)},
      {pin, "", PINRequired, R::PINRequired, asked},
      {pin, "9999", PINWrong, R::PINWrong, asked + "AT+CPIN=9999\r"},
      {puk, "", SIMBlocked, R::SIMBlocked, asked},
      {no_sim, "", SIMError, R::SIMError, asked},
      {{.modem = {.csms_busy = 13}}, "", OK, R::NoFailure, Upto("\r\r", 14), 91, 106},
      {{.modem = {.csms_busy = 14}}, "", Fail, R::Refused, Upto("AT+CSMS=0\r", 14), 91, 106},
      {{}, "", Fail, R::Refused, Upto("AT+CSMS=0\r"), 0, 2, "AT+CSMS", refused},  // sent once
      {{}, "", Fail, R::Refused, Upto("AT+CSMS=0\r"), 7, 9, "AT+CSMS", silent},
      {{}, "", Fail, R::Refused, Upto("AT+CSQ\r"), 7, 9, "AT+CSQ", error},
      {{.modem = {.rssi = 0}}, "", Fail, R::Refused, Upto("AT+CSQ\r")},
      {{}, "", Fail, R::Refused, Upto("AT+CSDH=1\r"), 7, 9, "AT+CSDH", error},
      {{}, "", Fail, R::Refused, ends, 0, 2, "AT+CMGF", error},
      // Each probe's echo without an answer may be a modem left in message input: ESC.
      {{}, "", Fail, R::NoAnswer, "AT\r\x1b\rAT\r\x1b\rAT\r\x1b\r", 24, 31, "AT", silent},
  };
  clock.real_sleep = milliseconds(2);  // time for the simulator to answer within a cycle or two
  int turns = 0;
  SetMessagePump([&] { ++turns; });
  for (auto& c : cases) {
    SCOPED_TRACE(c.wire);
    c.modem.port_folder = ports.path();
    sim = std::make_unique<modemsim::Simulator>(c.modem);
    sim->SetFault(c.fault_on, c.fault);
    turns = 0;
    const int sleeps = clock.sleeps;
    const std::int64_t t0 = clock.NowMs();
    EXPECT_EQ(sms.InitModem(Port(), c.pin), c.result);
    EXPECT_EQ(sim->Received(), c.wire);
    // Each probe is an "AT" of its own (and its ESC): the first at 115200 bit/s, the others
    // at 9600.
    std::vector<int> speeds;
    for (std::size_t at = 0; c.wire.compare(at, 3, "AT\r") == 0;
         at += c.wire.compare(at + 3, 2, "\x1b\r") == 0 ? 5 : 3) {
      speeds.push_back(speeds.empty() ? 115200 : 9600);
    }
    const StartReport& report = sms.LastStart();
    EXPECT_EQ(std::tie(report.status, report.reason, report.speeds_tried, report.device),
              std::tie(c.result, c.reason, speeds, sim->device_path()));
    EXPECT_EQ(report.detail.empty(), c.result == OK) << report.detail;
    EXPECT_EQ(modem::PortOpen(), c.result == OK);
    EXPECT_GE(clock.NowMs() - t0, c.min_s * 1000);
    EXPECT_LT(clock.NowMs() - t0, c.max_s * 1000);
    EXPECT_EQ(turns, clock.sleeps - sleeps) << "the pump turns in every cycle";
    sms.CloseModem();
  }
  SetMessagePump(nullptr);
}

// A sender killed after the prompt leaves the modem taking whatever comes as message text.
TEST_F(Startup, AModemLeftInMessageInputIsBroughtBack) {
  ASSERT_EQ(sms.InitModem(Port()), ModemStatus::OK);
  platform::ThreadPort().port.Output("AT+CMGS=19\r");
  ASSERT_TRUE(sim->WaitSent("> ", milliseconds(2000)));
  sms.CloseModem();
  sim->ClearTranscript();
  EXPECT_EQ(sms.InitModem(Port()), ModemStatus::OK);
  EXPECT_EQ(sim->Received(), "AT\r\x1b\r" + std::string(kStartup));
  EXPECT_EQ(sms.LastStart().speeds_tried, std::vector<int>{115200});
  EXPECT_TRUE(sim->State().submitted.empty()) << "the AT taken as message text went nowhere";
}

// SIM PINs are 4 to 8 digits; nothing else is sent, so nothing can ride along with one.
TEST_F(Startup, APinOtherThanFourToEightDigitsIsNeverSent) {
  for (const char* pin :
       {"1234;+CMGD=1,4", "\"1234\"", " 1234", "123", "123456789", "12/4", "12:4"}) {
    SCOPED_TRACE(::testing::PrintToString(std::string(pin)));
    sim->SetSim(SimState::PinRequired, "1234");
    sim->ClearTranscript();
    EXPECT_EQ(sms.InitModem(Port(), pin), ModemStatus::PINWrong);
    EXPECT_EQ(sim->Received(), "AT\rAT+CPIN?\r");
  }
  sim->SetSim(SimState::PinRequired, "00000000");
  EXPECT_EQ(sms.InitModem(Port(), "00000000"), ModemStatus::OK);
}

TEST_F(Startup, PinAnswersAreReadWholeEvenInPieces) {
  struct Case {
    const char* answer;
    std::size_t cut;  // the rest follows 5 ms later
    std::int32_t code;
  } cases[] = {
      {"\r\n+CME ERROR: 3\r\n", 13, 1},  // accepted: the SIM was unlocked already
      {"\r\n+CME ERROR: 16\r\n", 13, 2}, {"\r\n+CME ERROR: 16\r\n", 15, 2},   // wrong
      {"\r\n+CME ERROR: 30\r\n", 14, 0}, {"\r\n+CME ERROR: 160\r\n", 14, 0},  // other errors
      {"\r\nERROR\r\n", 3, 0},           {"\r\nOK\r\n", 3, 1},
  };
  OpenPort();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    sim->SetFault("AT+CPIN=",
                  {.chunks = {c.cut}, .chunk_pause = milliseconds(5), .literal = c.answer});
    EXPECT_EQ(modem::sim_pin::EnterPIN("1234"), c.code);
  }
  sim->SetFault("AT+CPIN?", {.literal = "\r\nERROR\r\n"});
  sim->ClearTranscript();
  EXPECT_EQ(modem::sim_pin::CheckPIN(), 3) << "an error";
  EXPECT_EQ(sim->Received().size(), 12 * std::string_view("AT+CPIN?\r").size()) << "12 tries";
}

TEST_F(Startup, ACallWhileOpenFailsAtOnce) {
  ASSERT_EQ(sms.InitModem(Port()), ModemStatus::OK);
  sim->ClearTranscript();
  EXPECT_EQ(sms.InitModem(Port()), ModemStatus::Fail);
  EXPECT_EQ(sms.LastStart().reason, StartReason::OpenHere);
  EXPECT_FALSE(modem::PortOpen());
  EXPECT_EQ(sms.InitModem(Port()), ModemStatus::OK) << "the next call starts afresh";
  EXPECT_EQ(sim->Received(), kStartup);
}

TEST_F(Startup, OnlyARegistrationEndingInOkKeepsThePortOpen) {
  struct Case {
    const char* answer;  // nullptr: none
    bool registered, open;
  } cases[] = {
      {"\r\n+CREG: 0,1\r\n\r\nOK\r\n", true, true},
      {"\r\n+CREG: 2,5,\"00C3\",\"1A2B\"\r\n\r\nOK\r\n", true, true},
      {"\r\n+CREG: 4,1\r\n\r\nOK\r\n", false, true},
      {"\r\n+CGREG: 0,1\r\n\r\nOK\r\n", false, true},
      {"\r\n+CREG: 0,2\r\n\r\nOK\r\n", false, true},
      {"\r\nERROR\r\n", false, false},
      {"\r\n+CREG: 0,1\r\n\r\nOK", false, false},
      {nullptr, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.answer ? c.answer : "silent"));
    if (!modem::PortOpen()) OpenPort();
    sim->SetFault("AT+CREG?", c.answer ? Fault{.literal = c.answer} : Fault{.silent = true});
    sim->ClearTranscript();
    EXPECT_EQ(sms.ConnectToGSM(), c.registered);
    EXPECT_EQ(modem::PortOpen(), c.open);
    EXPECT_EQ(sim->Received(), "AT+CREG?\r");
  }
  EXPECT_TRUE(sms.CloseModem());
  EXPECT_FALSE(sms.ConnectToGSM()) << "a closed port: false, no error, nothing written";
  EXPECT_TRUE(sms.CloseModem());
  EXPECT_FALSE(sim->WaitReceived("AT+CREG?\rAT", milliseconds(50)));
}

TEST_F(Startup, ReleasingAnObjectClosesThePortOfEveryObjectOfItsThread) {
  OpenPort();
  auto first = std::make_unique<SMS>();
  EXPECT_TRUE(first->ConnectToGSM());
  EXPECT_TRUE(sms.ConnectToGSM()) << "the port opened for one serves the other";
  first.reset();
  EXPECT_FALSE(sms.ConnectToGSM());
  OpenPort();  // the device was really released: it opens again
  EXPECT_TRUE(sms.ConnectToGSM());
  std::thread([] { SMS there; }).join();
  EXPECT_TRUE(modem::PortOpen()) << "another thread's object leaves ours alone";
}

using namespace std::chrono_literals;

constexpr const char* kCsq = "\r\n+CSQ: 20,99\r\n\r\nOK\r\n";

class Transactions : public testing::SimulatedModem {
 protected:
  void SetUp() override {
    SimulatedModem::SetUp();
    sim->SetEcho(false);
    OpenPort();
  }
};

TEST_F(Transactions, AnswersEndTheWaitAsEachVariantDefines) {
  struct Case {
    modem::Ending ending;
    const char* answer;
    bool result;
    bool ends_early;  // false: runs to the time limit and leaves the reply untouched
  } cases[] = {
      {modem::Ending::kFinalResult, "\r\nOK\r\n", true, true},
      {modem::Ending::kFinalResult, "\r\nERROR\r\n", false, true},
      {modem::Ending::kFinalResult, "\r\n+CME ERROR: 10\r\n", false, true},
      {modem::Ending::kFinalResult, "\r\n+CMS ERROR: 500\r\n", false, true},
      {modem::Ending::kFinalResult, "\r\nOK", false, false},
      {modem::Ending::kFinalResult, "\r\nERROR", false, false},
      {modem::Ending::kFinalResult, "\r\n+CMS ERROR: 500", false, false},
      {modem::Ending::kInfoLine, "\r\n+CPIN: READY\r\n\r\nOK\r\n", true, true},
      {modem::Ending::kInfoLine, "\r\n+CME ERROR: 10\r\n", true, true},
      {modem::Ending::kInfoLine, "\r\nERROR\r\n", false, true},
      {modem::Ending::kInfoLine, "\r\nOK\r\n", false, false},
      {modem::Ending::kInfoLine, "\r\n+CPIN: READY", false, false},
      {modem::Ending::kPrompt, "\r\n> ", true, true},
      {modem::Ending::kPrompt, "\r\nERROR\r\n", false, true},
      {modem::Ending::kPrompt, "\r\n+CMS ERROR: 500\r\n", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::string(c.answer)));
    sim->SetFault("AT+TEST", {.literal = c.answer});
    sim->ClearTranscript();
    std::string reply = "previous";
    const std::int64_t t0 = clock.NowMs();
    EXPECT_EQ(modem::Transact(c.ending, "AT+TEST", reply, 0), c.result);
    EXPECT_EQ(sim->Received(), "AT+TEST\r") << "exactly one CR is appended";
    EXPECT_EQ(reply, c.ends_early ? c.answer : "previous");
    EXPECT_EQ(clock.NowMs() - t0 > 7000, !c.ends_early);
    EXPECT_EQ(modem::reply_buffer, "");
  }
}

TEST_F(Transactions, LeftoversNeverReachTheNextCommand) {
  // A final result code that never comes is awaited one second after the colon line.
  sim->SetFault("AT+CPIN?", {.literal = "\r\n+CPIN: READY\r\n"});
  std::string reply;
  std::int64_t t0 = clock.NowMs();
  EXPECT_TRUE(modem::Transact(modem::Ending::kInfoLine, "AT+CPIN?", reply, 0));
  EXPECT_EQ(reply, "\r\n+CPIN: READY\r\n");
  EXPECT_GE(clock.NowMs() - t0, 1000);
  EXPECT_LT(clock.NowMs() - t0, 2000);

  // An answer after the time limit (7 s of fake time pass in well under 400 ms).
  sim->SetFault("AT+CGMI", {.delay = milliseconds(400), .literal = "\r\nlate\r\n\r\nOK\r\n"});
  EXPECT_FALSE(modem::Transact(modem::Ending::kFinalResult, "AT+CGMI", reply, 0));
  ASSERT_TRUE(sim->WaitSent("late", milliseconds(2000)));
  EXPECT_TRUE(modem::Transact(modem::Ending::kFinalResult, "AT+CSQ", reply, 0));
  EXPECT_EQ(reply, kCsq) << "the next command gets its own answer";

  // The drop-through ends at its own limit without a final result, and at once with one.
  t0 = clock.NowMs();
  EXPECT_FALSE(modem::DropThroughFinalResult(milliseconds(300)));
  EXPECT_EQ(clock.NowMs() - t0, 300);
  sim->Send("\r\nOK\r\n");
  ASSERT_TRUE(sim->WaitSent("\r\nOK\r\n", milliseconds(2000)));
  std::this_thread::sleep_for(milliseconds(5));
  EXPECT_TRUE(modem::DropThroughFinalResult(milliseconds(300)));
}

// Limits count whole seconds of the clock, so where in its second a wait starts decides
// where in (L, L+1] it ends: from .000 it takes L+1 s, from .950 just over L s. The time
// test comes before the markers: an answer in the last cycle is too late.
TEST_F(Transactions, TheLimitEndsOnTheWholeSecondClock) {
  sim->SetFault("AT", {.silent = true});
  struct Case {
    std::int16_t limit;
    std::int64_t offset;   // ms into the second at the start
    std::int64_t elapsed;  // ms until the call returns, the last cycle's pause included
  } cases[] = {{0, 0, 8050},   {0, 950, 7100}, {1, 0, 2050},    {1, 400, 1650},
               {1, 950, 1100}, {12, 0, 13050}, {12, 950, 12100}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "limit " << c.limit << " offset " << c.offset);
    while (clock.NowMs() % 1000 != c.offset) clock.SleepMs(50);
    const std::int64_t start = clock.NowMs();
    clock.on_sleep = [&](std::int64_t now) {  // "OK" lands just before the last check
      if (now - start == c.elapsed - 50) {
        sim->Send("\r\nOK\r\n");
        ASSERT_TRUE(sim->WaitSent("\r\nOK\r\n", milliseconds(2000)));
        std::this_thread::sleep_for(milliseconds(5));
      }
    };
    std::string reply = "before";
    EXPECT_FALSE(modem::Transact(modem::Ending::kFinalResult, "AT", reply, c.limit));
    clock.on_sleep = nullptr;
    EXPECT_EQ(clock.NowMs() - start, c.elapsed);
    EXPECT_EQ(reply, "before");
    sim->ClearTranscript();
  }
}

// A start-up with a PIN, network check and one command: late or split answers change nothing.
TEST_F(Transactions, SplitAnswersGiveWhatWholeAnswersGive) {
  struct Case {
    std::string name;
    Fault fault;
    milliseconds cycle{1};  // real time per polling cycle; 50 ms makes pauses honest
  };
  std::vector<Case> cases = {
      {"every answer 2-6 s late", {.delay = milliseconds(120)}},
      {"after the colon, 200 ms", {.chunks = {8}, .chunk_pause = milliseconds(200)}, 50ms},
  };
  for (std::size_t cut = 1; cut <= 24; ++cut) {
    cases.push_back({"cut after byte " + std::to_string(cut),
                     {.chunks = {cut}, .chunk_pause = milliseconds(2 + cut % 3 * 5)}});
  }
  platform::ThreadPort().port.PortOpen(false);
  sim->SetEcho(true);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    clock.real_sleep = c.cycle;
    sim->ClearFaults();
    sim->SetFault("AT", c.fault);  // every command line but "AT+CMGF=0", whose second CR
    sim->SetFault("AT+CMGF", {});  // would be echoed between the pieces
    sim->SetSim(modemsim::SimState::PinRequired, "1234");
    sim->ClearTranscript();
    SMS sms;
    EXPECT_EQ(sms.InitModem(static_cast<std::int16_t>(sim->port()), "1234"), ModemStatus::OK);
    EXPECT_TRUE(sms.ConnectToGSM());
    std::string reply;
    EXPECT_TRUE(modem::Transact(modem::Ending::kFinalResult, "ATI", reply, 0));
    EXPECT_EQ(reply, "ATI\r\r\nselvarn-modemsim\r\n\r\nOK\r\n");
    EXPECT_EQ(sim->Received(),
              "AT\rAT+CPIN?\rAT+CPIN=1234\rAT+CSMS=0\rAT+CSQ\rAT+CSDH=1\r"
              "AT+CMGF=0\r\rAT+CREG?\rATI\r");
  }
}

using testing::ErrorNumberOf;

// TS 27.005 answers, echo off: an accepted submission and listings in PDU and text mode.
constexpr const char* kCmgs = "\r\n+CMGS: 12\r\n\r\nOK\r\n";
constexpr const char* kCmglPdu =
    "\r\n+CMGL: 3,1,,24\r\n07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F97"
    "7FD07\r\n\r\nOK\r\n";
constexpr const char* kCmglReport =
    "\r\n+CMGL: 2,\"REC UNREAD\",6,27,\"+31628870634\",145,\"09/03/01,12:34:56+32\","
    "\"09/03/01,12:35:01+32\",0\r\n\r\nOK\r\n";

TEST(Answers, FindAndMidCountFromOne) {
  const std::string far = std::string(32766, ' ') + "OK";
  EXPECT_EQ(modem::answers::Find(kCmgs, "\r\n"), 1);
  EXPECT_EQ(modem::answers::Find(kCmgs, "\r\n", 12), 12) << "the start position itself counts";
  EXPECT_EQ(modem::answers::Find(kCmgs, "OK", 17), 0);
  EXPECT_EQ(modem::answers::Find(kCmgs, "\r", 40), 0) << "from past the end";
  EXPECT_EQ(modem::answers::Find(far, "OK"), 32767);
  EXPECT_EQ(modem::answers::Mid(kCmgs, 9, 3), " 12");
  EXPECT_EQ(modem::answers::Mid(kCmgs, 9, 0), "");
  EXPECT_EQ(modem::answers::Mid(kCmgs, 17, 10), "K\r\n") << "a cut past the end stops there";
  EXPECT_EQ(modem::answers::Trim("  12\r\n\r\n "), "12\r\n\r\n") << "only spaces go";

  // Positions count from 1, lengths cannot be negative, and positions must fit 16 bits.
  EXPECT_EQ(ErrorNumberOf([] { modem::answers::Find(kCmgs, "OK", 0); }), 5);
  EXPECT_EQ(ErrorNumberOf([] { modem::answers::Mid(kCmgs, 0, 1); }), 5);
  EXPECT_EQ(ErrorNumberOf([] { modem::answers::Mid(kCmgs, 3, -1); }), 5);
  EXPECT_EQ(ErrorNumberOf([&] { modem::answers::Find(" " + far, "OK"); }), 6);
  EXPECT_EQ(ErrorNumberOf([] { modem::answers::ListedIndex("\r\n+CMGL: 3\r\n\r\nOK\r\n"); }), 5);
  EXPECT_EQ(ErrorNumberOf([] { modem::answers::MessageReference("\r\n+CMGS: 12\r\n"); }), 5);
}

TEST(Answers, NumbersHave16BitsAndSpacesAround) {
  EXPECT_EQ(modem::answers::ToInt16(" 12 "), 12);
  EXPECT_EQ(modem::answers::ToInt16("+7"), 7);
  EXPECT_EQ(modem::answers::ToInt16("-32768"), -32768);
  EXPECT_EQ(modem::answers::ToInt16("32767"), 32767);
  for (const char* text : {"32768", "-32769", "99999999999999999999"})
    EXPECT_EQ(ErrorNumberOf([&] { modem::answers::ToInt16(text); }), 6) << text;
  for (const char* text : {"", "-", "1 2", "\t5", "99999x"})
    EXPECT_EQ(ErrorNumberOf([&] { modem::answers::ToInt16(text); }), 13) << text;
}

TEST(Answers, ListingsAndReferences) {
  EXPECT_EQ(modem::answers::ListedIndex(kCmglPdu), 3);
  EXPECT_EQ(modem::answers::ListedIndex(kCmglReport), 2);
  EXPECT_EQ(modem::answers::ListedIndex("\r\n+CMGL:  7 ,1,,24\r\nFF\r\n\r\nOK\r\n"), 7);
  EXPECT_EQ(modem::answers::ListedIndex("\r\nOK\r\n"), std::nullopt);
  EXPECT_EQ(modem::answers::MessageReference(kCmgs), "12\r\n\r\n");
  EXPECT_EQ(modem::answers::MessageReference("0011\x1a\r\n+CMGS:255 \r\nOK\r\n"), "255 \r\n");
  EXPECT_EQ(modem::answers::MessageReference("\r\nOK\r\n"), std::nullopt);
}

}  // namespace
}  // namespace selvarn
