// Reading one message and one report at a time (SMS::ReadSMS, SMS::GetDeliveryReport) on
// modems whose habits change what is read: after short, Unicode and long sends to the
// modem's own number, what comes back and the status reports, each announced by a notice.
// The session's round trip on every habit is in tests/gateway. (Messages kept in "ME" are
// not read this way: ReadSMS reads "SM".)
#include <gtest/gtest.h>

#include <iostream>

#include <chrono>
#include <thread>

#include "modemsim/settings.hpp"
#include "selvarn/sms.hpp"
#include "support/sim_port.hpp"

namespace selvarn {
namespace {

using namespace std::chrono_literals;

const std::string kOwn = "+447700900123";
const std::string kGreek = "\xCE\x9A\xCE\xB1\xCE\xBB\xCE\xB7";  // Καλη
const std::string kLong(200, 'x');                              // two parts

struct Row {
  std::vector<std::string> profiles{};
  std::vector<std::pair<const char*, const char*>> settings{};  // test-sized timings
  std::chrono::microseconds real_sleep{1000};                   // per 50 ms of the fake clock
  std::string heard{};  // a notice the modem must have sent meanwhile
};

class RoundTrip : public testing::SimulatedModem {
 protected:
  void Run(const Row& row) {
    modemsim::ModemState state;
    for (const std::string& profile : row.profiles) modemsim::ApplyProfile(state, profile);
    for (const auto& [name, value] : row.settings) modemsim::ApplySetting(state, name, {value});
    sim = std::make_unique<modemsim::Simulator>(
        modemsim::Options{.port_folder = ports.path(), .modem = state});
    clock.real_sleep = row.real_sleep;
    SMS sms;
    ASSERT_EQ(sms.InitModem(static_cast<std::int16_t>(sim->port())), ModemStatus::OK);
    EXPECT_TRUE(sms.ConnectToGSM() && sms.DeliveryReportOn());
    std::string sent, number = kOwn, text = kLong;
    std::int16_t reference = 9;
    sent += std::to_string(sms.SendSMST(kOwn, "hello")) + " " + sms.MR();
    sent += std::to_string(sms.SendSMSU(kOwn, kGreek)) + " " + sms.MR();
    sent += std::to_string(sms.SendLMSText(number, text, reference)) + " " + sms.MR();
    EXPECT_EQ(sent, "1 1\r\n\r\n1 2\r\n\r\n1 4\r\n\r\n");
    for (int i = 0; i < 300 && sim->Messages("SR").size() + sim->Messages(state.mem3).size() < 8;
         ++i) {
      std::this_thread::sleep_for(10ms);
    }
    // Read in the order they came, each once; then nothing is left.
    std::string read, reports;
    for (int i = 0; i < 5 && sms.ReadSMS(); ++i) read += sms.MN() + " " + sms.Msg() + "\n";
    EXPECT_EQ(read, kOwn + " hello\n" + kOwn + " " + kGreek + "\n" + kOwn + " " +
                        kLong.substr(0, 153) + "\n" + kOwn + " " + kLong.substr(153) + "\n");
    for (int i = 0; i < 5 && sms.GetDeliveryReport(); ++i) {
      reports += sms.DRMsgRef() + " " + sms.DRMNRecipient() + " " + sms.DRStatusText() + "\n";
    }
    EXPECT_EQ(reports, "1 " + kOwn + " 1\n2 " + kOwn + " 1\n3 " + kOwn + " 1\n4 " + kOwn + " 1\n");
    std::string announced;  // in storage order, whatever else the modem said around them
    for (const Notice& n : sms.TakeNotices()) {
      announced += std::to_string(static_cast<int>(n.kind)) + n.memory + std::to_string(n.index);
    }
    const int first = state.first_index;
    EXPECT_EQ(announced, "1SR" + std::to_string(first) + "1SR" + std::to_string(first + 1) + "1SR" +
                             std::to_string(first + 2) + "1SR" + std::to_string(first + 3));
    EXPECT_EQ(sim->Messages(state.mem3).size() + sim->Messages("SR").size(), 0u);
    EXPECT_NE(sim->Sent().find(row.heard), std::string::npos) << row.heard;
    if (HasFailure()) std::cerr << sim->PrintableTranscript();
  }
};

// Signal and cell reports every 6 ms of real time, in the middle of answers too.
TEST_F(RoundTrip, ReadingOnEachHabit) {
  const Row rows[] = {
      {{"zero-index"}},
      {{"alpha-listing"}},
      {{"echo-off"}},
      {{"signal-notices"}, {{"notices", "6"}}, 1000us, "\r\n+CIEV: 2,3\r\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.profiles.front());
    Run(row);
  }
}

}  // namespace
}  // namespace selvarn
