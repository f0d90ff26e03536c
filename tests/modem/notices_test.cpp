// Unsolicited lines: taken out of answers as they arrive, notices of messages and reports
// queued, the answers and the bytes on the wire as without them.
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "modem/modem.hpp"
#include "modem/notices.hpp"
#include "modem/wait.hpp"
#include "selvarn/sms.hpp"
#include "support/errors.hpp"
#include "support/sim_port.hpp"

namespace selvarn {
namespace {

using modemsim::Fault;
using std::chrono::milliseconds;

// kind, memory, index and data of each notice: enough to tell any two apart.
std::vector<std::string> Described(const std::vector<Notice>& notices) {
  std::vector<std::string> out;
  out.reserve(notices.size());
  for (const Notice& n : notices) {
    out.push_back(std::to_string(static_cast<int>(n.kind)) + " " + n.memory + " " +
                  std::to_string(n.index) + " [" + n.line + "] " + n.data);
  }
  return out;
}

constexpr const char* kDeliver = "07911326040000F0040B911346610089F60000208062917314080CC8F71D14";
constexpr const char* kReportPdu = "0006D60B911326880736F4111011719551401110117195714000";

TEST(Sifting, UnsolicitedLinesLeaveAnswersAsWithoutThem) {
  const std::string deliver = kDeliver, report = kReportPdu;
  struct Case {
    const char* command;
    std::string arrived;
    std::string kept;
    std::vector<std::string> notices;
  } cases[] = {
      // clang-format off
      // as a Huawei module reports signal and cell while the network takes a message
      {"0011", "\r\n+CMGS: 1\r\n\r\n^RSSI: 20\r\n\r\n+CIEV: 2,3\r\n\r\nOK\r\n", "\r\n+CMGS: 1\r\n\r\nOK\r\n", {}},
      {"AT+CSQ", "AT+CSQ\r\r\n+CMTI: \"SM\",3\r\n\r\n+CSQ: 20,99\r\n\r\nOK\r\n", "AT+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\n",
       {"0 SM 3 [+CMTI: \"SM\",3] "}},
      {"AT+CREG?", "\r\n+CREG: 0,1\r\n\r\nOK\r\n", "\r\n+CREG: 0,1\r\n\r\nOK\r\n", {}},
      {"AT+CSQ", "\r\n+CREG: 1\r\n\r\n+CSQ: 20,99\r\n\r\nRING\r\n\r\nOK\r\n", "\r\n+CSQ: 20,99\r\n\r\nOK\r\n", {}},
      {"AT+CMGS=23", "\r\n+CDSI: \"SR\",0\r\n\r\n> ", "\r\n> ", {"1 SR 0 [+CDSI: \"SR\",0] "}},
      {"AT+CMGS=23", "\r\n+CDSI: SR , 12\r\n\r\n+CMTI: \"ME\",3x\r\n\r\n> ", "\r\n> ",
       {"1 SR 12 [+CDSI: SR , 12] ", "0 ME -1 [+CMTI: \"ME\",3x] "}},
      {"", "\r\n+CMTI: \"SM,5\r\n\r\n+CMTI: \",6\r\n\r\n+CMTI: \"\",7\r\n", "",
       {"0 \"SM 5 [+CMTI: \"SM,5] ", "0 \" 6 [+CMTI: \",6] ", "0  7 [+CMTI: \"\",7] "}},
      // a message and a report handed over whole: the line after the code goes with it
      {"AT+CMGL=4", "\r\n+CMGL: 1,1,,5\r\nFFFF\r\n\r\n+CMT: ,24\r\n" + deliver + "\r\n\r\nOK\r\n",
       "\r\n+CMGL: 1,1,,5\r\nFFFF\r\n\r\nOK\r\n", {"2  -1 [+CMT: ,24] " + deliver}},
      {"", "\r\n+CDS: 25\r\n" + report + "\r\n", "", {"3  -1 [+CDS: 25] " + report}},
      {"AT+CMGF=1\r", "\r\n+CDS: 6,27,\"+31628870634\",145\r\n\r\nOK\r\n", "\r\nOK\r\n",
       {"3  -1 [+CDS: 6,27,\"+31628870634\",145] "}},
      // a code without its own framing: the line before keeps its end
      {"AT+CMGL=4", "\r\n+CMGL: 1,1,,5\r\nFFFF\r\nRING\r\n+CMGL: 2,1,,5\r\nEEEE\r\n\r\nOK\r\n",
       "\r\n+CMGL: 1,1,,5\r\nFFFF\r\n+CMGL: 2,1,,5\r\nEEEE\r\n\r\nOK\r\n", {}},
      // only whole lines that start with a code; the answer's own name is its answer
      {"AT+CR=1", "\r\n+CREG: 1\r\n\r\nOK\r\n", "\r\nOK\r\n", {}},  // a name is a whole word
      {"AT+CPIN?", "\r\n+CPIN: READY\r\n\r\nOK\r\n", "\r\n+CPIN: READY\r\n\r\nOK\r\n", {}},
      {"AT+CIEV?", "\r\n+CIEV: 2,3\r\n\r\nOK\r\n", "\r\n+CIEV: 2,3\r\n\r\nOK\r\n", {}},
      {"AT", "\r\nXRING\r\n\r\nRINGING\r\n\r\n+CMTX: 1\r\n\r\nOK\r\n", "\r\nXRING\r\n\r\nRINGING\r\n\r\n+CMTX: 1\r\n\r\nOK\r\n", {}},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.arrived));
    // Whole, and in pieces of every size up to 4 bytes: a line is judged once it is whole.
    for (std::size_t piece : {c.arrived.size(), std::size_t{1}, std::size_t{2}, std::size_t{4}}) {
      SCOPED_TRACE(piece);
      modem::Heard heard;
      std::string text;
      std::size_t from = 0;
      for (std::size_t at = 0; at < c.arrived.size(); at += piece) {
        text += c.arrived.substr(at, piece);
        from = modem::Sift(text, from, c.command, heard);
      }
      EXPECT_EQ(text, c.kept);
      EXPECT_EQ(Described(heard.notices), c.notices);
      EXPECT_FALSE(heard.header);
    }
  }
}

class Notices : public testing::SimulatedModem {
 protected:
  void SetUp() override {
    SimulatedModem::SetUp();
    sim->SetEcho(false);
    OpenPort();
    clock.real_sleep = milliseconds(2);
  }
  // Has the simulator send `bytes` on its own and waits until they can be read.
  void Unasked(const std::string& bytes) {
    sim->Send(bytes);
    ASSERT_TRUE(sim->WaitSent(bytes, milliseconds(2000)));
    std::this_thread::sleep_for(milliseconds(5));
  }
  SMS sms;
};

// "hellohello" to 012-5550147.
const std::string kSent = "AT+CMGS=23\r\r0011000B810621550541F70000AA0AE8329BFD4697D9EC37\x1a\r";

TEST(Sifting, AQueueNobodyTakesKeepsTheLatest) {
  modem::Heard heard;
  std::string text;
  for (std::size_t i = 0; i <= modem::kMostNoticesKept; ++i) {
    text += "\r\n+CMTI: \"SM\"," + std::to_string(i) + "\r\n";
  }
  modem::Sift(text, 0, {}, heard);
  ASSERT_EQ(heard.notices.size(), modem::kMostNoticesKept);
  EXPECT_EQ(heard.notices.front().index, 1);
  EXPECT_EQ(heard.notices.back().index, static_cast<int>(modem::kMostNoticesKept));
}

TEST_F(Notices, ANoticeInTheMiddleOfASendsAnswerIsKeptAndTheReferenceUnchanged) {
  sim->SetFault("00",
                {.literal = "\r\n+CMGS: 12\r\n\r\n+CMTI: \"SM\",3\r\n\r\n^RSSI: 17\r\n\r\nOK\r\n",
                 .runs = true});
  EXPECT_TRUE(sms.SendSMST("012-5550147", "hellohello"));
  EXPECT_EQ(sms.MR(), "12\r\n\r\n");
  EXPECT_EQ(sim->Received(), kSent);
  EXPECT_EQ(Described(sms.TakeNotices()), std::vector<std::string>{"0 SM 3 [+CMTI: \"SM\",3] "});
  EXPECT_TRUE(sms.TakeNotices().empty()) << "taken once";
  EXPECT_EQ(sim->State().submitted.size(), 1u);
}

TEST_F(Notices, WaitingNoticesAreKeptAndTheRestOfWhatWaitsDropped) {
  // A notice before the command, a late tail of an earlier answer, and a notice whose
  // line is still unfinished when the command goes out.
  Unasked("\r\n+CDSI: \"SR\",2\r\n\r\nlate\r\n\r\nOK\r\n\r\n+CMT: ,24\r\n");
  sim->SetFault("AT+CREG?",
                {.literal = std::string(kDeliver) + "\r\n\r\n+CREG: 0,5\r\n\r\nOK\r\n"});
  EXPECT_TRUE(sms.ConnectToGSM()) << "roaming, as the answer and not the notice says";
  EXPECT_EQ(sim->Received(), "AT+CREG?\r");
  EXPECT_EQ(Described(sms.TakeNotices()),
            (std::vector<std::string>{"1 SR 2 [+CDSI: \"SR\",2] ",
                                      "2  -1 [+CMT: ,24] " + std::string(kDeliver)}));

  // A notice's colon no longer ends a colon transaction early.
  sim->SetFault("AT+CPIN?", {.literal = "\r\n+CMTI: \"ME\",0\r\n\r\n+CPIN: READY\r\n\r\nOK\r\n"});
  std::string reply;
  EXPECT_TRUE(modem::Transact(modem::Ending::kInfoLine, "AT+CPIN?", reply, 0));
  EXPECT_EQ(reply, "\r\n+CPIN: READY\r\n\r\nOK\r\n");

  // Cut inside its line before the command: completed by what comes after it.
  Unasked("\r\n+CMTI: \"SM\"");
  sim->SetFault("AT+CSQ", {.literal = ",5\r\n\r\n+CSQ: 20,99\r\n\r\nOK\r\n"});
  EXPECT_TRUE(modem::Transact(modem::Ending::kFinalResult, "AT+CSQ", reply, 0));
  EXPECT_EQ(reply, "\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
  EXPECT_EQ(Described(sms.TakeNotices()),
            (std::vector<std::string>{"0 ME 0 [+CMTI: \"ME\",0] ", "0 SM 5 [+CMTI: \"SM\",5] "}));
}

TEST_F(Notices, AStartUpBeginsWithNoneHeard) {
  Unasked("\r\n+CMTI: \"SM\",1\r\n");
  std::string reply;
  EXPECT_TRUE(modem::Transact(modem::Ending::kFinalResult, "AT", reply, 0));
  platform::ThreadPort().port.PortOpen(false);
  EXPECT_EQ(sms.InitModem(static_cast<std::int16_t>(sim->port())), ModemStatus::OK);
  EXPECT_TRUE(sms.TakeNotices().empty());
}

// A wait ends on the first of: the modem's input (sifted), a descriptor, the time.
TEST_F(Notices, AWaitEndsOnWhatComesFirst) {
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  struct Case {
    const char* unasked;  // what the modem says first
    bool poke;            // a byte on the pipe first
    const char* woken;    // "port", "fd", "port fd" or "time"
    std::vector<std::string> notices;
  };
  const Case cases[] = {
      {"\r\n+CMTI: \"SM\",4\r\n", false, "port", {"0 SM 4 [+CMTI: \"SM\",4] "}},
      {"\r\nRING\r\n", false, "port", {}},
      {"", true, "fd", {}},
      {"\r\n+CDSI: \"SR\",1\r\n", true, "port fd", {"1 SR 1 [+CDSI: \"SR\",1] "}},
      {"", false, "time", {}},
      // Cut inside the notice: the rest completes it at the next wait.
      {"\r\n+CMTI: \"M", false, "port", {}},
      {"E\",7\r\n", false, "port", {"0 ME 7 [+CMTI: \"ME\",7] "}},
  };
  char byte = 0;
  for (const Case& c : cases) {
    if (*c.unasked != 0) Unasked(c.unasked);
    if (c.poke) {
      ASSERT_EQ(write(pipe_fds[1], "x", 1), 1);
    }
    const std::int64_t start = clock.NowMs();
    const int fds[] = {pipe_fds[0]};
    const modem::Woken w = modem::WaitForInput(fds, 400);
    std::string woken = w.port ? "port" : "";
    if (!w.ready.empty()) woken += std::string(woken.empty() ? "" : " ") + "fd";
    if (w.TimedOut()) woken = "time";
    EXPECT_EQ(woken, c.woken) << c.unasked;
    EXPECT_EQ(w.ready, c.poke ? std::vector<int>{pipe_fds[0]} : std::vector<int>{});
    EXPECT_EQ(clock.NowMs() - start, w.TimedOut() ? 400 : 0) << c.unasked;
    EXPECT_EQ(Described(sms.TakeNotices()), c.notices) << c.unasked;
    if (c.poke) {
      ASSERT_EQ(read(pipe_fds[0], &byte, 1), 1);
    }
  }
  EXPECT_EQ(sim->Received(), "") << "a wait writes nothing";
  // The modem goes away: the wait says so rather than spinning.
  sim.reset();
  const int fds[] = {pipe_fds[0]};
  EXPECT_EQ(testing::ErrorNumberOf([&] { modem::WaitForInput(fds, 400); }), 8010);
  platform::ThreadPort().port.PortOpen(false);
  EXPECT_EQ(testing::ErrorNumberOf([&] { modem::WaitForInput(fds, 400); }), 8012);
  close(pipe_fds[0]);
  close(pipe_fds[1]);
}

}  // namespace
}  // namespace selvarn
