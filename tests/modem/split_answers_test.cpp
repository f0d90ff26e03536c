// A whole conversation (start-up with a PIN, network check, one more command) with every
// answer arriving late or in pieces: the results and the bytes on the wire are those of
// whole answers, wherever the cut falls and however long the pause.
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "modem/modem.hpp"
#include "selvarn/sms.hpp"
#include "support/sim_port.hpp"

namespace selvarn {
namespace {

using modemsim::Fault;
using std::chrono::milliseconds;

class SplitAnswers : public testing::SimulatedModem {
 protected:
  // What the conversation gave and wrote, as one text.
  std::string Converse(const Fault& fault) {
    sim->ClearFaults();
    sim->SetFault("AT", fault);    // every command line but "AT+CMGF=0", whose second CR
    sim->SetFault("AT+CMGF", {});  // would be echoed between the pieces
    sim->SetSim(modemsim::SimState::PinRequired, "1234");
    sim->ClearTranscript();
    SMS sms;
    std::string out = std::to_string(static_cast<int>(sms.InitModem(Port(), "1234")));
    out += sms.ConnectToGSM() ? " registered " : " not registered ";
    std::string reply;
    if (Modem::IsPortOpen()) Modem::ATCommand("ATI", reply, 0);
    return out + reply + sim->Received();
  }
  std::int16_t Port() const { return static_cast<std::int16_t>(sim->port()); }
};

TEST_F(SplitAnswers, GiveWhatWholeAnswersGive) {
  const std::string whole = Converse({});
  ASSERT_EQ(
      whole,
      "1 registered ATI\r\r\nselvarn-modemsim\r\n\r\nOK\r\n"
      "AT\rAT+CPIN?\rAT+CPIN=1234\rAT+CSMS=0\rAT+CSQ\rAT+CSDH=1\rAT+CMGF=0\r\rAT+CREG?\rATI\r");
  struct Case {
    std::string name;
    Fault fault;
    milliseconds cycle{1};  // real time per polling cycle; 50 ms makes pauses honest
  };
  std::vector<Case> cases = {
      {"every answer 2-6 s late", {.delay = milliseconds(120)}},
      {"after the colon, 200 ms",
       {.chunks = {8}, .chunk_pause = milliseconds(200)},
       milliseconds(50)},
      {"inside the line, 70 ms",
       {.chunks = {9}, .chunk_pause = milliseconds(70)},
       milliseconds(50)},
      {"9600 bit/s",
       {.chunks = std::vector<std::size_t>(64, 1), .chunk_pause = milliseconds(1)},
       milliseconds(50)},
  };
  // Each cut with a pause of several 1 ms cycles.
  for (std::size_t cut = 1; cut <= 24; ++cut) {
    cases.push_back({"cut after byte " + std::to_string(cut),
                     {.chunks = {cut}, .chunk_pause = milliseconds(2 + cut % 3 * 5)}});
  }
  for (const auto& c : cases) {
    clock.real_sleep = c.cycle;
    EXPECT_EQ(Converse(c.fault), whole) << c.name;
  }
}

}  // namespace
}  // namespace selvarn
