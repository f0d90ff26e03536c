// End to end through the simulated network: messages sent to the modem's own number come
// back, and so do their status reports.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "messaging/fixture.hpp"

namespace selvarn {
namespace {

using RoundTrip = testing::Messaging;

TEST_F(RoundTrip, MessagesAndTheirReportsComeBack) {
  std::string own = "+447700900123", text;
  while (text.size() < 400)
    text += "Long message [part " + std::to_string(text.size()) + "] 5\xe2\x82\xac. ";
  std::int16_t reference = 42;
  ASSERT_TRUE(sms.DeliveryReportOn());
  std::vector<std::string> mr;
  const auto sent = [&](bool ok) {
    EXPECT_TRUE(ok);
    mr.push_back(sms.MR().substr(0, sms.MR().find('\r')));
  };
  sent(sms.SendSMST(own, "Short one"));
  sent(sms.SendSMSU(own,
                    "\xc3\x9cnic\xc3\xb6"
                    "de \xe2\x9c\x93"));
  sent(sms.SendLMSText(own, text, reference));
  AwaitStored("SM", 5);
  AwaitStored("SR", 5);

  const auto stored = sim->Messages("SM");
  for (int k = 1; k <= 3; ++k) {
    EXPECT_NE(stored[static_cast<std::size_t>(k + 1)].pdu.find("0500032A030" + std::to_string(k)),
              std::string::npos)
        << "part " << k << " of 3, reference 42";
  }
  std::vector<std::string> texts;
  while (sms.ReadSMS()) {
    EXPECT_EQ(sms.MN(), own);
    texts.push_back(sms.Msg());
  }
  ASSERT_EQ(texts.size(), 5u);
  EXPECT_EQ(texts[0], "Short one");
  EXPECT_EQ(texts[1],
            "\xc3\x9cnic\xc3\xb6"
            "de \xe2\x9c\x93");
  EXPECT_EQ(texts[2] + texts[3] + texts[4], text);

  std::vector<std::string> references, expected;
  while (sms.GetDeliveryReport()) {
    references.push_back(sms.DRMsgRef());
    EXPECT_EQ(sms.DRMNRecipient(), own);
    EXPECT_EQ(sms.DRStatus(), DeliveryStatus::Delivered);
  }
  for (const auto& s : sim->State().submitted) expected.push_back(std::to_string(s.reference));
  EXPECT_EQ(references, expected);
  EXPECT_EQ(mr, (std::vector<std::string>{expected[0], expected[1], expected[4]}));
}

}  // namespace
}  // namespace selvarn
