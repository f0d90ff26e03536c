// The three transactions against the simulated modem, asserting the bytes on the wire.
#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "modem/modem.hpp"
#include "selvarn/sms.hpp"
#include "support/sim_port.hpp"

namespace selvarn {
namespace {

using modemsim::Fault;
using std::chrono::milliseconds;

using Transaction = bool (*)(std::string, std::string&, std::int16_t);

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
    const char* name;
    Transaction run;
    const char* answer;
    bool result;
    bool ends_early;  // false: runs to the time limit and leaves the reply untouched
  } cases[] = {
      {"final OK", Modem::ATCommand, "\r\nOK\r\n", true, true},
      {"final ERROR", Modem::ATCommand, "\r\nERROR\r\n", false, true},
      {"final CME", Modem::ATCommand, "\r\n+CME ERROR: 10\r\n", false, true},
      {"final CMS", Modem::ATCommand, "\r\n+CMS ERROR: 500\r\n", false, true},
      {"final info and OK", Modem::ATCommand, "\r\n+CSQ: 9,99\r\n\r\nOK\r\n", true, true},
      {"final OK without CR LF", Modem::ATCommand, "\r\nOK", false, false},
      {"final ERROR without CR LF", Modem::ATCommand, "\r\nERROR", false, false},
      {"colon answer", Modem::ATCommand1, "\r\n+CPIN: READY\r\n\r\nOK\r\n", true, true},
      {"colon CME", Modem::ATCommand1, "\r\n+CME ERROR: 10\r\n", true, true},
      {"colon ERROR", Modem::ATCommand1, "\r\nERROR\r\n", false, true},
      {"colon OK only", Modem::ATCommand1, "\r\nOK\r\n", false, false},
      {"prompt", Modem::ATCommand2, "\r\n> ", true, true},
      {"prompt ERROR", Modem::ATCommand2, "\r\nERROR\r\n", false, true},
      {"prompt CMS", Modem::ATCommand2, "\r\n+CMS ERROR: 500\r\n", false, false},
      {"prompt CME", Modem::ATCommand2, "\r\n+CME ERROR: 3\r\n", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim->SetFault("AT+TEST", {.literal = c.answer});
    sim->ClearTranscript();
    std::string reply = "previous";
    const std::int64_t t0 = clock.NowMs();
    EXPECT_EQ(c.run("AT+TEST", reply, 0), c.result);
    EXPECT_EQ(sim->Received(), "AT+TEST\r") << "exactly one CR is appended";
    if (c.ends_early) {
      EXPECT_EQ(reply, c.answer);
      EXPECT_LT(clock.NowMs() - t0, 1000);
    } else {
      EXPECT_EQ(reply, "previous") << "a time-out leaves the reply alone";
      EXPECT_GT(clock.NowMs() - t0, 7000);
    }
    EXPECT_EQ(Modem::strResponse, "");
  }
}

TEST_F(Transactions, EchoIsPartOfTheReply) {
  sim->SetEcho(true);
  std::string reply;
  EXPECT_TRUE(Modem::ATCommand("AT+CSQ", reply, 0));
  EXPECT_EQ(reply, "AT+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
}

TEST_F(Transactions, ACallersCarriageReturnGoesOutDoubled) {
  std::string reply;
  EXPECT_TRUE(Modem::ATCommand("AT+CMGF=0\r", reply, 0));
  EXPECT_EQ(sim->Received(), "AT+CMGF=0\r\r");
  EXPECT_EQ(reply, "\r\nOK\r\n") << "the empty second line gets no answer";
}

TEST_F(Transactions, ATailEndsTheNextTransactionInItsFirstCycle) {
  // The colon arrives first; the rest of the status answer comes 100 ms later.
  sim->SetFault("AT+CPIN?", {.chunks = {8}, .chunk_pause = milliseconds(100)});
  std::string reply;
  EXPECT_TRUE(Modem::ATCommand1("AT+CPIN?", reply, 0));
  EXPECT_EQ(reply, "\r\n+CPIN:");
  ASSERT_TRUE(sim->WaitSent("READY\r\n\r\nOK\r\n", milliseconds(2000)));

  const int sleeps_before = clock.sleeps;
  EXPECT_TRUE(Modem::ATCommand("AT+CSQ", reply, 0));
  EXPECT_EQ(reply, " READY\r\n\r\nOK\r\n") << "the tail, not the answer to AT+CSQ";
  EXPECT_EQ(clock.sleeps - sleeps_before, 1);
  ASSERT_TRUE(sim->WaitSent("+CSQ: 20,99\r\n\r\nOK\r\n", milliseconds(2000)));
  EXPECT_TRUE(Modem::ATCommand("AT", reply, 0));
  EXPECT_EQ(reply, "\r\n+CSQ: 20,99\r\n\r\nOK\r\n") << "and so on, one answer behind";
}

TEST_F(Transactions, AClosedPortFailsAtTheWrite) {
  platform::frmATC().GSM.PortOpen(false);
  Modem::strResponse = "kept";
  std::string reply = "untouched";
  for (Transaction run : {Modem::ATCommand, Modem::ATCommand1, Modem::ATCommand2}) {
    try {
      run("AT", reply, 0);
      ADD_FAILURE() << "no error";
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.number(), err::kDeviceNotOpen);
    }
  }
  EXPECT_EQ(reply, "untouched");
  EXPECT_EQ(Modem::strResponse, "kept");
  EXPECT_FALSE(Modem::IsPortOpen());
  EXPECT_EQ(sim->Received(), "");
}

TEST_F(Transactions, EveryCycleGivesThePumpATurn) {
  int turns = 0;
  SetMessagePump([&] { ++turns; });
  sim->SetFault("AT", {.silent = true});
  std::string reply;
  const int sleeps_before = clock.sleeps;
  EXPECT_FALSE(Modem::ATCommand("AT", reply, 1));
  SetMessagePump(nullptr);
  EXPECT_EQ(turns, clock.sleeps - sleeps_before);
  EXPECT_GE(turns, 20) << "50 ms cycles over more than a second";
}

TEST_F(Transactions, LimitLEndsAfterMoreThanLAndAtMostLPlusOneSeconds) {
  sim->SetFault("AT", {.silent = true});
  clock.real_sleep = std::chrono::microseconds(0);  // nothing to wait for
  struct Case {
    std::int16_t limit;
    std::int64_t seconds;
  } cases[] = {{0, 7}, {1, 1}, {3, 3}, {7, 7}, {12, 12}};
  // Where in its second the wait starts decides where in (L, L+1] it ends.
  for (const std::int64_t offset : {0, 400, 950}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(::testing::Message() << "limit " << c.limit << " offset " << offset);
      while (clock.NowMs() % 1000 != offset) clock.SleepMs(50);
      std::string reply;
      const std::int64_t t0 = clock.NowMs();
      EXPECT_FALSE(Modem::ATCommand("AT", reply, c.limit));
      const std::int64_t elapsed = clock.NowMs() - t0;
      EXPECT_GT(elapsed, c.seconds * 1000);
      EXPECT_LE(elapsed, (c.seconds + 1) * 1000 + 50);  // plus the last cycle's pause
    }
  }
}

TEST_F(Transactions, TheTimeTestWinsOverAMarkerInTheSameCycle) {
  sim->SetFault("AT", {.silent = true});
  // A limit of 1 s from a whole second: the check at +2000 ms is the first to time out.
  // The answer is made to arrive just before the check at `arrival`.
  for (const std::int64_t arrival : {1950, 2000}) {
    SCOPED_TRACE(arrival);
    while (clock.NowMs() % 1000 != 0) clock.SleepMs(50);
    const std::int64_t start = clock.NowMs();
    clock.on_sleep = [&](std::int64_t now) {
      if (now - start == arrival) {
        sim->Send("\r\nOK\r\n");
        ASSERT_TRUE(sim->WaitSent("\r\nOK\r\n", milliseconds(2000)));
        std::this_thread::sleep_for(milliseconds(5));
      }
    };
    std::string reply = "before";
    const bool ok = Modem::ATCommand("AT", reply, 1);
    clock.on_sleep = nullptr;
    if (arrival < 2000) {
      EXPECT_TRUE(ok);
      EXPECT_EQ(reply, "\r\nOK\r\n");
    } else {
      EXPECT_FALSE(ok) << "the answer came in the cycle that timed out";
      EXPECT_EQ(reply, "before");
      EXPECT_EQ(Modem::strResponse, "") << "and what arrived is dropped with the buffer";
    }
    sim->ClearTranscript();
  }
}

TEST_F(Transactions, ASenderWithoutEndCannotHoldTheWaitPastItsLimit) {
  platform::SetClock(nullptr);  // real time, once
  sim->SetFault("AT+CSQ", {.silent = true});
  sim->StartFlood("\r\nRING\r\n", milliseconds(1));
  std::string reply;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(Modem::ATCommand("AT+CSQ", reply, 1));
  const auto elapsed = std::chrono::steady_clock::now() - t0;
  sim->StopFlood();
  EXPECT_GT(elapsed, milliseconds(1000));
  EXPECT_LT(elapsed, milliseconds(2300));
  EXPECT_EQ(reply, "");
}

}  // namespace
}  // namespace selvarn
