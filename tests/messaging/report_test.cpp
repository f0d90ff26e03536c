// The status-report switch and reading status reports in text mode.
#include <string>

#include <gtest/gtest.h>

#include "messaging/fixture.hpp"

namespace selvarn {
namespace {

using modemsim::Fault;
using modemsim::MessageStatus;

class Reports : public testing::Messaging {
 protected:
  // DRMNRecipient, DRRDate, DRRTime, DRFDate, DRFTime and DRStatus as it is kept.
  std::string Fields() {
    return sms.DRMNRecipient() + " " + sms.DRRDate() + " " + sms.DRRTime() + " " + sms.DRFDate() +
           " " + sms.DRFTime() + " " + sms.DRStatusText();
  }
};

const Fault kError{.literal = "\r\nERROR\r\n"};

TEST_F(Reports, TheSwitchSetsWhatLaterSendsAskFor) {
  const std::string on = "AT+CNMI=2,0,0,2,0\r\rAT+CSMP=49,255,0,0\r\r";
  const std::string off = "AT+CNMI=2,0,0,0,0\r\rAT+CSMP=1,255,0,0\r\r";
  struct Case {
    bool on, before;
    const char* fault_on;
    bool result;
    std::string wire;
    bool after;
  } cases[] = {
      {true, false, "AT+NONE", true, on, true},
      {true, true, "AT+CNMI", false, on.substr(0, 19), false},
      {true, true, "AT+CSMP", false, on, false},
      {false, true, "AT+NONE", true, off, false},
      {false, true, "AT+CNMI", false, off.substr(0, 19), true},
      {false, true, "AT+CSMP", false, off, true},
  };
  // The flag shows in the first octet of the next short message: 31 asks for a report.
  const auto asks = [&] {
    Wire();
    EXPECT_TRUE(sms.SendSMST("0123", "hi"));
    return Wire().substr(14, 2) == "31";
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.on) + " " + c.fault_on);
    ASSERT_EQ(c.before ? sms.DeliveryReportOn() : sms.DeliveryReportOff(), true);
    Wire();
    sim->SetFault(c.fault_on, kError);
    EXPECT_EQ(c.on ? sms.DeliveryReportOn() : sms.DeliveryReportOff(), c.result);
    EXPECT_EQ(Wire(), c.wire);
    sim->ClearFaults();
    EXPECT_EQ(asks(), c.after);
  }
  platform::frmATC().GSM.PortOpen(false);
  EXPECT_FALSE(sms.DeliveryReportOn());
  EXPECT_FALSE(sms.DeliveryReportOff());
  EXPECT_EQ(Wire(), "");
  OpenPort();
  EXPECT_TRUE(asks()) << "unchanged";
}

// Reference 12 to +447700900001, delivered; taken 24/05/01,09:30:00+04, discharged
// 24/05/01,09:30:02-20 (a zone west of Greenwich).
const std::string kReport = "0791447758100650060C0C91447700090010425010900300404250109003200A00";
const std::string kListed = "AT+CMGF=1\rAT+CPMS=\"SR\"\rAT+CMGL=\"ALL\"\r";

TEST_F(Reports, AReportIsReadIntoTheProperties) {
  struct Case {
    bool echo;
    int index;
  } cases[] = {{false, 2}, {true, 2}, {true, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.index);
    Restart({.echo = c.echo,
             .first_index = c.index,
             .sr = {{c.index, MessageStatus::ReceivedUnread, kReport}}});
    const std::string i = std::to_string(c.index);
    EXPECT_TRUE(sms.GetDeliveryReport());
    EXPECT_EQ(Wire(),
              kListed + "AT+CMGR=\"" + i + "\"\rAT+CMGD=" + i + "\r\rAT+CPMS=\"SM\"\rAT+CMGF=0\r");
    EXPECT_EQ(sms.DRMsgRef(), "12");
    EXPECT_EQ(Fields(), "+447700900001 24/05/01 09:30:00 24/05/01 09:30:02 1");
    EXPECT_EQ(sms.DRStatus(), DeliveryStatus::Delivered);
    EXPECT_TRUE(sim->Messages("SR").empty());
    EXPECT_FALSE(sms.GetDeliveryReport());
    EXPECT_EQ(Wire(), kListed + "AT+CMGF=0\rAT+CPMS=\"SM\"\r");
  }
}

TEST_F(Reports, FieldsAsTheModemWritesThem) {
  const std::string head = "\"REC READ\",6,12,\"+447700900001\",145,";
  const std::string stamps = "\"09/03/01,12:34:56+32\",\"09/03/02,01:02:03+32\",";
  const std::string fields = "+447700900001 09/03/01 12:34:56 09/03/02 01:02:03 ";
  struct Case {
    std::string answer;  // after "+CMGR: "
    std::string fields;
    const char* status;  // as DRStatus is kept
    bool taken = true;
  } cases[] = {
      {head + stamps + "0", fields, "1"},
      {head + stamps + "48", fields, "0"},
      {head + stamps + "32", fields, "2"},
      {head + stamps + "64", fields, "2"},
      {head + stamps + "00", fields, "2"},
      {head + stamps + " 0 ", fields, "1"},
      {head + stamps, fields, "2"},
      {"\"REC READ\",6,12,,," + stamps + "0", fields.substr(13), "1"},
      {head + "\"09/03/01,12:34:56-08\",\"09/03/02,01:02:03\",0", fields, "1"},
      {"\"REC READ\",6,12", "old old old old old ", "7", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    Restart();
    sim->StoreReport({.reference = 12});
    sim->SetFault("AT+CMGR", {.literal = "\r\n+CMGR: " + c.answer + "\r\n\r\nOK\r\n"});
    SetAll({&SMS::DRMNRecipient, &SMS::DRRDate, &SMS::DRRTime, &SMS::DRFDate, &SMS::DRFTime},
           "old");
    sms.DRStatus(7);
    EXPECT_EQ(sms.GetDeliveryReport(), c.taken);
    EXPECT_EQ(Wire(), kListed + "AT+CMGR=\"1\"\r" +
                          (c.taken ? "AT+CMGD=1\r\rAT+CPMS=\"SM\"\rAT+CMGF=0\r"
                                   : "AT+CMGF=0\rAT+CPMS=\"SM\"\r"));
    EXPECT_EQ(Fields(), c.fields + c.status);
  }
}

TEST_F(Reports, EveryExitRestoresPduModeAndTheSimStorage) {
  const std::string restore = "AT+CMGF=0\rAT+CPMS=\"SM\"\r";
  const std::string read = kListed + "AT+CMGR=\"1\"\r";
  const std::string done = read + "AT+CMGD=1\r\rAT+CPMS=\"SM\"\rAT+CMGF=0\r";
  struct Case {
    const char* fault_on;
    Fault fault;
    std::string wire;
    bool result = false;
    bool stored = true;
    bool report = true;
  } cases[] = {
      {"AT+CMGF=1", kError, "AT+CMGF=1\rAT+CMGF=0\r"},
      {"AT+CPMS=\"SR\"", kError, "AT+CMGF=1\rAT+CPMS=\"SR\"\rAT+CMGF=0\r"},
      {"AT+CMGL", kError, kListed + restore},
      {"AT+NONE", {}, kListed + restore, false, false, false},
      {"AT+CMGR", {.literal = "\r\n+CMS ERROR: 321\r\n"}, read + restore},
      {"AT+CMGR", {.literal = "\r\nOK\r\n"}, read + restore},
      {"AT+CMGL", {.literal = "\r\n+CMGL: x,\r\nOK\r\n"}, kListed + restore},
      {"AT+CMGD", kError, done, true},
      {"AT+CPMS=\"SM\"", kError, done, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault_on);
    Restart();
    if (c.report) sim->StoreReport({.reference = 12});
    sim->SetFault(c.fault_on, c.fault);
    EXPECT_EQ(sms.GetDeliveryReport(), c.result);
    EXPECT_EQ(Wire(), c.wire);
    EXPECT_EQ(sim->Messages("SR").size(), c.stored ? 1u : 0u);
  }
  platform::frmATC().GSM.PortOpen(false);
  EXPECT_FALSE(sms.GetDeliveryReport());
  EXPECT_EQ(Wire(), "");
}

}  // namespace
}  // namespace selvarn
