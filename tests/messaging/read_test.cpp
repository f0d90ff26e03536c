// Reading received messages from the simulated modem's SIM storage, and the round trip
// through the simulated network to the modem's own number.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "messaging/fixture.hpp"

namespace selvarn {
namespace {

using modemsim::MessageStatus;
using Reading = testing::Messaging;

// From +447700900001 at 24/01/02,10:11:12+04 through +447785016005: "hellohello" with
// the data coding given.
std::string Deliver(const char* dcs) {
  return std::string("0791447758100650040C91447700090010") + "00" + dcs +
         "421020011121400AE8329BFD4697D9EC37";
}
const std::string kPlain = Deliver("00");
const std::string kList = "AT+CPMS=\"SM\"\rAT+CMGL=\"4\"\r\rAT+CMGL=\"1\"\r\r";

TEST_F(Reading, EachOutcomeWithItsLinesPropertiesAndStore) {
  const std::string read = kList + "AT+CMGR=1\r", done = read + "AT+CMGD=1\r\r";
  const char* err = "\r\nERROR\r\n";
  const char* listed = "AT+CMGL=\"1\"";
  struct Case {
    std::string wire;
    bool result;
    const char* fault_on = "AT+NONE";
    const char* answer = nullptr;
    int index = 1;  // where the message is stored; -1: nowhere
    std::string pdu = kPlain;
    int error = 0;
  } cases[] = {
      {done, true},
      {kList + "AT+CMGR=0\rAT+CMGD=0\r\r", true, "AT+NONE", nullptr, 0},  // index 0
      {done, true, "AT+NONE", nullptr, 1, Deliver("0C")},  // reserved coding read as 7-bit
      {done, false, "AT+CMGD", err},
      {read, false, "AT+CMGR", "\r\n+CMS ERROR: 500\r\n"},
      {read, false, "AT+CMGR", "\r\nOK\r\n"},
      {"AT+CPMS=\"SM\"\r", false, "AT+CPMS", err},
      {kList.substr(0, 26), false, "AT+CMGL=\"4\"", err},
      {kList, false, listed, err},
      {kList, false, "AT+NONE", nullptr, -1},
      {kList + "AT+CMGR=7\r", false, listed, "\r\n+CMGL:  7 ,1,,5\r\n00\r\n\r\nOK\r\n"},
      {kList, false, listed, "\r\n+CMGL: x,1,,5\r\n00\r\n\r\nOK\r\n", 1, kPlain, 13},
      {kList, false, listed, "\r\n+CMGL: 1\r\n\r\nOK\r\n", 1, kPlain, 5},
      {read, false, "AT+NONE", nullptr, 1, Deliver("20"), 5},  // undecodable
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.wire) + " " + c.fault_on);
    modemsim::ModemState modem{.first_index = c.index < 0 ? 1 : c.index};
    if (c.index >= 0) modem.sm = {{c.index, MessageStatus::ReceivedUnread, c.pdu}};
    Restart(modem);
    if (c.answer != nullptr) sim->SetFault(c.fault_on, {.literal = c.answer});
    SetAll({&SMS::SMSC, &SMS::MN, &SMS::SCTS, &SMS::Msg}, "old");
    sms.MR("mr");
    bool result = false;
    EXPECT_EQ(testing::ErrorNumberOf([&] { result = sms.ReadSMS(); }), c.error);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(Wire(), c.wire);
    const bool decoded = c.wire.find("AT+CMGD") != std::string::npos;
    EXPECT_EQ(sms.SMSC() + " " + sms.MN() + " " + sms.SCTS() + " " + sms.Msg(),
              decoded ? "+447785016005 +447700900001 24/01/02,10:11:12+04 hellohello"
                      : "old old old old");
    EXPECT_EQ(sms.MR(), "mr");
    EXPECT_EQ(sim->Messages("SM").size(), c.index < 0 || c.result ? 0u : 1u);
    platform::CurrentThread().undecodable.clear();
  }
}

TEST_F(Reading, OneMessageACallInListingOrderPassingOverWhatCannotBeDecoded) {
  const auto at = [](int index, MessageStatus status, std::string pdu) {
    return modemsim::StoredMessage{index, status, std::move(pdu)};
  };
  Restart({.sm = {at(1, MessageStatus::StoredSent, kPlain),
                  at(2, MessageStatus::ReceivedRead, Deliver("20")),
                  at(3, MessageStatus::ReceivedUnread, kPlain),
                  at(4, MessageStatus::ReceivedRead, Deliver("0C"))}});
  // 2 cannot be decoded: it stays, and later calls pass over it to 3 and 4.
  EXPECT_EQ(testing::ErrorNumberOf([&] { sms.ReadSMS(); }), 5);
  EXPECT_EQ(Wire(), kList + "AT+CMGR=2\r");
  for (const char* index : {"3", "4"}) {
    EXPECT_TRUE(sms.ReadSMS());
    EXPECT_EQ(Wire(), kList + "AT+CMGR=" + index + "\rAT+CMGD=" + index + "\r\r");
  }
  EXPECT_FALSE(sms.ReadSMS());
  EXPECT_EQ(Wire(), kList);
  const auto left = sim->Messages("SM");
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left[1].index, 2);
  // Another message at the same index is not the one that failed.
  Restart({.sm = {at(2, MessageStatus::ReceivedRead, kPlain)}});
  EXPECT_TRUE(sms.ReadSMS());
}

TEST_F(Reading, MessagesSentToTheOwnNumberComeBackWithTheirReports) {
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
  sent(sms.SendLMSText(own, text, reference));
  AwaitStored("SM", 4);
  AwaitStored("SR", 4);

  const auto stored = sim->Messages("SM");
  for (std::size_t k = 1; k <= 3; ++k) {
    EXPECT_NE(stored[k].pdu.find("0500032A030" + std::to_string(k)), std::string::npos) << k;
  }
  std::vector<std::string> texts;
  while (sms.ReadSMS()) {
    EXPECT_EQ(sms.MN(), own);
    texts.push_back(sms.Msg());
  }
  ASSERT_EQ(texts.size(), 4u);
  EXPECT_EQ(texts[0] + "|" + texts[1] + texts[2] + texts[3], "Short one|" + text);
  std::vector<std::string> references, expected;
  while (sms.GetDeliveryReport()) {
    references.push_back(sms.DRMsgRef());
    EXPECT_EQ(sms.DRMNRecipient(), own);
    EXPECT_EQ(sms.DRStatus(), DeliveryStatus::Delivered);
  }
  for (const auto& s : sim->State().submitted) expected.push_back(std::to_string(s.reference));
  EXPECT_EQ(references, expected);
  EXPECT_EQ(mr, (std::vector<std::string>{expected[0], expected[3]}));
}

}  // namespace
}  // namespace selvarn
