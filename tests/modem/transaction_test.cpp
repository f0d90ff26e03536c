// The three transactions against the simulated modem, asserting the bytes on the wire.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "modem/modem.hpp"
#include "selvarn/sms.hpp"
#include "support/sim_port.hpp"

namespace selvarn {
namespace {

using modemsim::Fault;
using std::chrono::milliseconds;
using namespace std::chrono_literals;

using Transaction = bool (*)(std::string, std::string&, std::int16_t);

constexpr const char* kCsq = "\r\n+CSQ: 20,99\r\n\r\nOK\r\n";

class Transactions : public testing::SimulatedModem {
 protected:
  void SetUp() override {
    SimulatedModem::SetUp();
    sim->SetEcho(false);
    OpenPort();
  }
  // The next command gets its own answer, not a leftover of an earlier one.
  void ExpectInStep() {
    std::string reply;
    EXPECT_TRUE(Modem::ATCommand("AT+CSQ", reply, 0));
    EXPECT_EQ(reply, kCsq);
  }
};

TEST_F(Transactions, AnswersEndTheWaitAsEachVariantDefines) {
  struct Case {
    Transaction run;
    const char* answer;
    bool result;
    bool ends_early;  // false: runs to the time limit and leaves the reply untouched
  } cases[] = {
      {Modem::ATCommand, "\r\nOK\r\n", true, true},
      {Modem::ATCommand, "\r\nERROR\r\n", false, true},
      {Modem::ATCommand, "\r\n+CME ERROR: 10\r\n", false, true},
      {Modem::ATCommand, "\r\n+CMS ERROR: 500\r\n", false, true},
      {Modem::ATCommand, kCsq, true, true},
      {Modem::ATCommand, "\r\nOK", false, false},
      {Modem::ATCommand, "\r\nERROR", false, false},
      {Modem::ATCommand, "\r\n+CMS ERROR: 500", false, false},
      {Modem::ATCommand1, "\r\n+CPIN: READY\r\n\r\nOK\r\n", true, true},
      {Modem::ATCommand1, "\r\n+CME ERROR: 10\r\n", true, true},
      {Modem::ATCommand1, "\r\nERROR\r\n", false, true},
      {Modem::ATCommand1, "\r\nOK\r\n", false, false},
      {Modem::ATCommand1, "\r\n+CPIN: READY", false, false},
      {Modem::ATCommand2, "\r\n> ", true, true},
      {Modem::ATCommand2, "\r\nERROR\r\n", false, true},
      {Modem::ATCommand2, "\r\n+CMS ERROR: 500\r\n", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::string(c.answer)));
    sim->SetFault("AT+TEST", {.literal = c.answer});
    sim->ClearTranscript();
    std::string reply = "previous";
    const std::int64_t t0 = clock.NowMs();
    EXPECT_EQ(c.run("AT+TEST", reply, 0), c.result);
    EXPECT_EQ(sim->Received(), "AT+TEST\r") << "exactly one CR is appended";
    EXPECT_EQ(reply, c.ends_early ? c.answer : "previous");
    EXPECT_EQ(clock.NowMs() - t0 > 7000, !c.ends_early);
    EXPECT_EQ(Modem::strResponse, "");
  }
}

TEST_F(Transactions, LeftoversNeverReachTheNextCommand) {
  // A final result code that never comes is awaited one second after the colon line.
  sim->SetFault("AT+CPIN?", {.literal = "\r\n+CPIN: READY\r\n"});
  std::string reply;
  std::int64_t t0 = clock.NowMs();
  EXPECT_TRUE(Modem::ATCommand1("AT+CPIN?", reply, 0));
  EXPECT_EQ(reply, "\r\n+CPIN: READY\r\n");
  EXPECT_GE(clock.NowMs() - t0, 1000);
  EXPECT_LT(clock.NowMs() - t0, 2000);

  // An answer after the time limit (7 s of fake time pass in well under 400 ms).
  sim->SetFault("AT+CGMI", {.delay = milliseconds(400), .literal = "\r\nlate\r\n\r\nOK\r\n"});
  EXPECT_FALSE(Modem::ATCommand("AT+CGMI", reply, 0));
  ASSERT_TRUE(sim->WaitSent("late", milliseconds(2000)));
  ExpectInStep();

  // ESC after a prompt that came too late: its answer is awaited, in real time here.
  sim->SetFault("AT+CMGS", {.delay = milliseconds(600)});
  ASSERT_FALSE(Modem::ATCommand2("AT+CMGS=5", reply, 0));
  platform::frmATC().GSM.Output("\x1b");
  clock.real_sleep = milliseconds(50);
  EXPECT_TRUE(Modem::DropThroughFinalResult(milliseconds(2000)));
  ExpectInStep();
  // and no answer at all ends the wait at its limit.
  t0 = clock.NowMs();
  EXPECT_FALSE(Modem::DropThroughFinalResult(milliseconds(300)));
  EXPECT_EQ(clock.NowMs() - t0, 300);
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
    EXPECT_FALSE(Modem::ATCommand("AT", reply, c.limit));
    clock.on_sleep = nullptr;
    EXPECT_EQ(clock.NowMs() - start, c.elapsed);
    EXPECT_EQ(reply, "before");
    sim->ClearTranscript();
  }
}

// A whole conversation (start-up with a PIN, network check, one more command) with every
// answer late or in pieces gives the results and wire bytes of whole answers.
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
  platform::frmATC().GSM.PortOpen(false);
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
    EXPECT_TRUE(Modem::ATCommand("ATI", reply, 0));
    EXPECT_EQ(reply, "ATI\r\r\nselvarn-modemsim\r\n\r\nOK\r\n");
    EXPECT_EQ(sim->Received(),
              "AT\rAT+CPIN?\rAT+CPIN=1234\rAT+CSMS=0\rAT+CSQ\rAT+CSDH=1\r"
              "AT+CMGF=0\r\rAT+CREG?\rATI\r");
  }
}

}  // namespace
}  // namespace selvarn
