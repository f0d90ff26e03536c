// Reading received messages from the simulated modem's SIM storage.
#include <string>

#include <gtest/gtest.h>

#include "messaging/fixture.hpp"

namespace selvarn {
namespace {

using modemsim::Fault;
using modemsim::MessageStatus;
using modemsim::StoredMessage;
using Reading = testing::Messaging;

// From +447700900001 at 24/01/02,10:11:12+04 through +447785016005: "hellohello" with
// the data coding given.
std::string Deliver(const char* dcs) {
  return std::string("0791447758100650040C91447700090010") + "00" + dcs +
         "421020011121400AE8329BFD4697D9EC37";
}
const std::string kList = "AT+CPMS=\"SM\"\rAT+CMGL=\"4\"\r\rAT+CMGL=\"1\"\r\r";

TEST_F(Reading, EachOutcomeWithItsLinesPropertiesAndStore) {
  struct Case {
    const char* name;
    std::string wire;
    bool result;
    bool read = true;  // the properties hold the message
    int index = 1;
    std::string pdu = Deliver("00");
    int error = 0;
    const char* fault_on = "AT+NONE";
    Fault fault{};
  } cases[] = {
      {"read and deleted", kList + "AT+CMGR=1\rAT+CMGD=1\r\r", true},
      {"index 0", kList + "AT+CMGR=0\rAT+CMGD=0\r\r", true, true, 0},
      {"reserved coding read as 7-bit", kList + "AT+CMGR=1\rAT+CMGD=1\r\r", true, true, 1,
       Deliver("0C")},
      {"deletion refused",
       kList + "AT+CMGR=1\rAT+CMGD=1\r\r",
       false,
       true,
       1,
       Deliver("00"),
       0,
       "AT+CMGD",
       {.literal = "\r\nERROR\r\n"}},
      {"read refused",
       kList + "AT+CMGR=1\r",
       false,
       false,
       1,
       Deliver("00"),
       0,
       "AT+CMGR",
       {.literal = "\r\n+CMS ERROR: 500\r\n"}},
      {"read without +CMGR:",
       kList + "AT+CMGR=1\r",
       false,
       false,
       1,
       Deliver("00"),
       0,
       "AT+CMGR",
       {.literal = "\r\nOK\r\n"}},
      {"storage refused",
       "AT+CPMS=\"SM\"\r",
       false,
       false,
       1,
       Deliver("00"),
       0,
       "AT+CPMS",
       {.literal = "\r\nERROR\r\n"}},
      {"full listing refused",
       kList.substr(0, 26),
       false,
       false,
       1,
       Deliver("00"),
       0,
       "AT+CMGL=\"4\"",
       {.literal = "\r\nERROR\r\n"}},
      {"listing refused",
       kList,
       false,
       false,
       1,
       Deliver("00"),
       0,
       "AT+CMGL=\"1\"",
       {.literal = "\r\nERROR\r\n"}},
      {"nothing stored", kList, false, false, -1},
      {"blanks around the index",
       kList + "AT+CMGR=7\r",
       false,
       false,
       1,
       Deliver("00"),
       0,
       "AT+CMGL=\"1\"",
       {.literal = "\r\n+CMGL:  7 ,1,,5\r\n00\r\n\r\nOK\r\n"}},
      {"index not a number",
       kList,
       false,
       false,
       1,
       Deliver("00"),
       13,
       "AT+CMGL=\"1\"",
       {.literal = "\r\n+CMGL: x,1,,5\r\n00\r\n\r\nOK\r\n"}},
      {"index beyond 16 bits",
       kList,
       false,
       false,
       1,
       Deliver("00"),
       6,
       "AT+CMGL=\"1\"",
       {.literal = "\r\n+CMGL: 32768,1,,5\r\n00\r\n\r\nOK\r\n"}},
      {"no comma after the index",
       kList,
       false,
       false,
       1,
       Deliver("00"),
       5,
       "AT+CMGL=\"1\"",
       {.literal = "\r\n+CMGL: 1\r\n\r\nOK\r\n"}},
      {"undecodable", kList + "AT+CMGR=1\r", false, false, 1, Deliver("20"), 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    modemsim::ModemState modem{.first_index = c.index < 0 ? 1 : c.index};
    if (c.index >= 0) modem.sm = {{c.index, MessageStatus::ReceivedUnread, c.pdu}};
    Restart(modem);
    sim->SetFault(c.fault_on, c.fault);
    sms.SMSC("old");
    sms.MN("old");
    sms.SCTS("old");
    sms.Msg("old");
    sms.MR("mr");
    bool result = false;
    EXPECT_EQ(testing::ErrorNumberOf([&] { result = sms.ReadSMS(); }), c.error);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(Wire(), c.wire);
    EXPECT_EQ(sms.SMSC(), c.read ? "+447785016005" : "old");
    EXPECT_EQ(sms.MN(), c.read ? "+447700900001" : "old");
    EXPECT_EQ(sms.SCTS(), c.read ? "24/01/02,10:11:12+04" : "old");
    EXPECT_EQ(sms.Msg(), c.read ? "hellohello" : "old");
    EXPECT_EQ(sms.MR(), "mr");
    EXPECT_EQ(sim->Messages("SM").size(), c.index < 0 || c.result ? 0u : 1u);
    platform::CurrentThread().undecodable.clear();
  }
}

TEST_F(Reading, OneMessageACallInListingOrder) {
  const auto stored = [&](int index, MessageStatus status, std::string pdu) {
    return StoredMessage{index, status, std::move(pdu)};
  };
  Restart({.sm = {stored(1, MessageStatus::StoredSent, Deliver("00")),
                  stored(2, MessageStatus::ReceivedRead, Deliver("20")),
                  stored(3, MessageStatus::ReceivedUnread, Deliver("00")),
                  stored(4, MessageStatus::ReceivedRead, Deliver("0C"))}});
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
  Restart({.sm = {stored(2, MessageStatus::ReceivedRead, Deliver("00"))}});
  EXPECT_TRUE(sms.ReadSMS());
}

}  // namespace
}  // namespace selvarn
