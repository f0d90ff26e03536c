// The automation interface's module names: each reaches the very state and behaviour of
// the core module it stands for, on the calling thread.
#include <cstdint>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "api/module_names.hpp"
#include "support/sim_port.hpp"

namespace selvarn {
namespace {

TEST(ModuleNames, ResultsAreTheThreadsSessionAndNoOtherThreads) {
  const auto here = [] {
    return std::to_string(reinterpret_cast<std::uintptr_t>(&Modem::strResponse)) + " " +
           std::to_string(reinterpret_cast<std::uintptr_t>(&PDU6::PDUString)) + " " +
           std::to_string(reinterpret_cast<std::uintptr_t>(&PDU6::PDULength)) + " " +
           std::to_string(reinterpret_cast<std::uintptr_t>(&PDU6::SeptetCount));
  };
  modem::PortSession& session = modem::CurrentSession();
  Modem::strResponse = "+CMGS: 7\r\n";
  PDU6::PDUString = "0011";
  PDU6::PDULength = 17;
  PDU6::SeptetCount = 9;
  EXPECT_EQ(session.reply_buffer, "+CMGS: 7\r\n");
  EXPECT_EQ(session.last_pdu, "0011");
  EXPECT_EQ(session.last_pdu_octets, 17);
  EXPECT_EQ(session.last_septets, 9);
  // The core's own per-thread names and the interface's are one.
  EXPECT_EQ(&modem::reply_buffer, &Modem::strResponse);
  EXPECT_EQ(&pdu::last_pdu, &PDU6::PDUString);

  std::string there;
  std::string there_reply = "unread";
  std::thread([&] {
    there = here();
    there_reply = Modem::strResponse;
  }).join();
  EXPECT_NE(there, here());
  EXPECT_EQ(there_reply, "");
  session.reply_buffer.clear();
  session.last_pdu.clear();
}

class ModuleNamesOnTheWire : public testing::SimulatedModem {
 protected:
  void SetUp() override {
    SimulatedModem::SetUp();
    sim->SetEcho(false);
    OpenPort();
  }
};

// Each answer ends, and passes, only the transaction it is meant for: one forwarded to
// another ending would wait the full 7 s and fail.
TEST_F(ModuleNamesOnTheWire, EachTransactionEndsOnItsOwnAnswer) {
  using Transaction = bool (*)(std::string, std::string&, std::int16_t);
  const struct {
    const char* name;
    Transaction run;
    const char* answer;
  } cases[] = {
      {"ATCommand", Modem::ATCommand, "\r\nOK\r\n"},
      {"ATCommand1", Modem::ATCommand1, "\r\n+CME ERROR: 10\r\n"},
      {"ATCommand2", Modem::ATCommand2, "\r\n> "},
  };
  ASSERT_TRUE(Modem::IsPortOpen());
  for (const auto& c : cases) {
    sim->SetFault("AT+TEST", {.literal = c.answer});
    sim->ClearTranscript();
    std::string reply;
    const std::int64_t t0 = clock.NowMs();
    EXPECT_TRUE(c.run("AT+TEST", reply, 0)) << c.name;
    EXPECT_LT(clock.NowMs() - t0, 1000) << c.name;
    EXPECT_EQ(reply, c.answer) << c.name;
    EXPECT_EQ(sim->Received(), "AT+TEST\r") << c.name;
  }
}

// The number rules have their own table; this pins the name to them.
TEST(ModuleNames, NumbersAreNormalisedAsInTheCore) {
  EXPECT_EQ(MSISDN::NormaliseMSISDN("+60-12-345"), "6012345");
  EXPECT_EQ(MSISDN::NormaliseMSISDN("012-3456"), "60123456");
}

}  // namespace
}  // namespace selvarn
