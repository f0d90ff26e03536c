// The type library as clients see it: ids, signatures, slots and help strings, written
// out in full because they are the interface's record.
#include <cstddef>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "api/type_library.hpp"
#include "selvarn/selvarn_sms.h"

namespace selvarn::api {
namespace {

TEST(TypeLibrary, NamesVersionGuidsAndFlags) {
  const TypeLibrary& lib = TypeLib();
  EXPECT_EQ(lib.name, "SelvarnSMSAPI6");
  EXPECT_EQ(lib.major, 1);
  EXPECT_EQ(lib.minor, 0);
  EXPECT_EQ(lib.lcid, 0x409U);
  EXPECT_EQ(lib.interface_name, "_SMS");
  EXPECT_TRUE(lib.hidden && lib.dual && lib.nonextensible);
  EXPECT_EQ(lib.class_name, "SMS");
  EXPECT_EQ(lib.prog_id, "SelvarnSMSAPI6.SMS");
  EXPECT_EQ(GuidText(lib.libid), "{7420A61C-2E6C-44F7-9A2F-98300DC62B10}");
  EXPECT_EQ(GuidText(lib.iid), "{1509347C-9523-426E-A45E-984013DCD479}");
  EXPECT_EQ(GuidText(lib.clsid), "{A0211C17-ECB8-4BF2-8EAD-F8885F095CAD}");
  for (const char* text :
       {"{a0211c17-ecb8-4bf2-8ead-f8885f095cad}", "A0211C17-ECB8-4BF2-8EAD-F8885F095CAD"}) {
    EXPECT_EQ(ParseGuid(text), lib.clsid) << text;
  }
  for (const char* bad :
       {"", "{A0211C17-ECB8-4BF2-8EAD-F8885F095CA}", "A0211C17ECB84BF28EADF8885F095CADxx",
        "{A0211C17-ECB8-4BF2-8EAD-F8885F095CAX}", "(A0211C17-ECB8-4BF2-8EAD-F8885F095CAD)",
        "A0211C17-ECB8-4BF2-8EAD+F8885F095CAD"}) {
    EXPECT_FALSE(ParseGuid(bad)) << bad;
  }
}

TEST(TypeLibrary, MemberIdsAndSignatures) {
  struct Case {
    const char* name;
    std::int32_t id;
    const char* signature;
  } cases[] = {
      {"DRStatus", 0x6803000C, "Property DRStatus As DeliveryStatus"},
      {"DRFDate", 0x6803000B, "Property DRFDate As String"},
      {"DRFTime", 0x6803000A, "Property DRFTime As String"},
      {"DRRDate", 0x68030009, "Property DRRDate As String"},
      {"DRRTime", 0x68030008, "Property DRRTime As String"},
      {"DRMNRecipient", 0x68030007, "Property DRMNRecipient As String"},
      {"DRMsgRef", 0x68030006, "Property DRMsgRef As String"},
      {"SCTS", 0x68030005, "Property SCTS As String"},
      {"MR", 0x68030004, "Property MR As String"},
      {"SMSC", 0x68030003, "Property SMSC As String"},
      {"Msg", 0x68030002, "Property Msg As String"},
      {"MN", 0x68030001, "Property MN As String"},
      {"IDD", 0x68030000, "Property IDD As String"},
      {"InitModem", 0x6003000D, "InitModem(intPort As Integer, [PIN As String]) As ModemStatus"},
      {"ConnectToGSM", 0x6003000E, "ConnectToGSM() As Boolean"},
      {"ReadSMS", 0x60030010, "ReadSMS() As Boolean"},
      {"SendLMSText", 0x60030011,
       "SendLMSText(ByRef strMobileNumber As String, ByRef strMessage As String, "
       "ByRef intMessageReference As Integer) As Boolean"},
      {"SendSMST", 0x60030012, "SendSMST(Number As String, MessageText As String) As Boolean"},
      {"SendSMSU", 0x60030013, "SendSMSU(Number As String, MessageUnicode As String) As Boolean"},
      {"DeliveryReportOn", 0x60030014, "DeliveryReportOn() As Boolean"},
      {"DeliveryReportOff", 0x60030015, "DeliveryReportOff() As Boolean"},
      {"GetDeliveryReport", 0x60030016, "GetDeliveryReport() As Boolean"},
      {"CloseModem", 0x60030017, "CloseModem() As Boolean"},
  };
  ASSERT_EQ(TypeLib().members.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Member& m = TypeLib().members[i];
    EXPECT_EQ(m.name, cases[i].name);
    EXPECT_EQ(m.id, cases[i].id) << m.name;
    EXPECT_EQ(Signature(m), cases[i].signature);
    EXPECT_EQ(MemberById(m.id), &m);
  }
  EXPECT_EQ(MemberById(0x6003000F), nullptr) << "the private listing routine stays hidden";
}

TEST(TypeLibrary, NamesAreFoundWithoutRegardToCase) {
  struct Case {
    std::string name;
    const char* found;  // nullptr: none
  } cases[] = {
      {"initmodem", "InitModem"},
      {"INITMODEM", "InitModem"},
      {"mN", "MN"},
      {"drstatus", "DRStatus"},
      {"Init Modem", nullptr},
      {"InitModem2", nullptr},
      {"InitModem ", nullptr},
      {"", nullptr},
      {std::string("MN\0", 3), nullptr},
      {"M", nullptr},
      {"ÍnitModem", nullptr},
  };
  for (const auto& c : cases) {
    const Member* m = FindMember(c.name);
    if (c.found == nullptr) {
      EXPECT_EQ(m, nullptr) << c.name;
    } else {
      ASSERT_NE(m, nullptr) << c.name;
      EXPECT_EQ(m->name, c.found);
    }
  }
}

// The C header's slot table in its own order, against the table's put/get/method order.
TEST(TypeLibrary, VirtualTableOrder) {
#define SLOT(name) \
  { #name, offsetof(selvarn_SMSVtbl, name) / sizeof(void*) }
  const std::pair<const char*, std::size_t> header[] = {SLOT(QueryInterface),
                                                        SLOT(AddRef),
                                                        SLOT(Release),
                                                        SLOT(GetTypeInfoCount),
                                                        SLOT(GetTypeInfo),
                                                        SLOT(GetIDsOfNames),
                                                        SLOT(Invoke),
                                                        SLOT(put_DRStatus),
                                                        SLOT(get_DRStatus),
                                                        SLOT(put_DRFDate),
                                                        SLOT(get_DRFDate),
                                                        SLOT(put_DRFTime),
                                                        SLOT(get_DRFTime),
                                                        SLOT(put_DRRDate),
                                                        SLOT(get_DRRDate),
                                                        SLOT(put_DRRTime),
                                                        SLOT(get_DRRTime),
                                                        SLOT(put_DRMNRecipient),
                                                        SLOT(get_DRMNRecipient),
                                                        SLOT(put_DRMsgRef),
                                                        SLOT(get_DRMsgRef),
                                                        SLOT(put_SCTS),
                                                        SLOT(get_SCTS),
                                                        SLOT(put_MR),
                                                        SLOT(get_MR),
                                                        SLOT(put_SMSC),
                                                        SLOT(get_SMSC),
                                                        SLOT(put_Msg),
                                                        SLOT(get_Msg),
                                                        SLOT(put_MN),
                                                        SLOT(get_MN),
                                                        SLOT(put_IDD),
                                                        SLOT(get_IDD),
                                                        SLOT(InitModem),
                                                        SLOT(ConnectToGSM),
                                                        SLOT(ReadSMS),
                                                        SLOT(SendLMSText),
                                                        SLOT(SendSMST),
                                                        SLOT(SendSMSU),
                                                        SLOT(DeliveryReportOn),
                                                        SLOT(DeliveryReportOff),
                                                        SLOT(GetDeliveryReport),
                                                        SLOT(CloseModem)};
#undef SLOT
  ASSERT_EQ(sizeof(selvarn_SMSVtbl) / sizeof(void*), std::size(header));
  for (std::size_t i = 0; i < std::size(header); ++i)
    EXPECT_EQ(header[i].second, i) << header[i].first;
  ASSERT_EQ(Functions().size() + kFirstMemberSlot, std::size(header));
  for (const Function& f : Functions()) {
    const std::string prefix = f.kind == Kind::PropertyPut   ? "put_"
                               : f.kind == Kind::PropertyGet ? "get_"
                                                             : "";
    EXPECT_EQ(prefix + std::string(f.member->name), header[static_cast<std::size_t>(f.slot)].first);
  }
}

TEST(TypeLibrary, HelpStringsByteForByte) {
  struct Case {
    const char* name;
    const char* help;
  } cases[] = {
      {"DRStatus",
       "Delivery Status Report - Status of the outgoing SMS\r\nValue is:\r\n"
       "= DELIVERED if SMS is delivered to recipient's mobile by SMSC\r\n"
       "= UNDELIVERED if SMS is not delivered by SMSC\r\n= UNKNOWN if status is unknown"},
      {"DRFDate",
       "Delivery Status  Report - date of SMS forwarded to recipient's mobile number by SMSC"},
      {"DRFTime",
       "Devliery Status Report - time of SMS forwarded to recipient's mobile number by SMSC"},
      {"DRRDate", "Delivery Status Report - date of SMS received by SMSC"},
      {"DRRTime", "Delivery Status Report - time of SMS received by SMSC"},
      {"DRMNRecipient", "Delivery Status Report - Recipient's mobile number"},
      {"DRMsgRef",
       "Delivery Status Report - Message Reference Number. Use this number to match with the "
       "propertry \"MR\" - message reference number generated after calling the SendSMSWC2() "
       "function."},
      {"SCTS", "SMSC (SMS Centre) time stamp \xE2\x80\x93 time of the message received by SMSC."},
      {"MR",
       "Message Reference Number - automatically generated by SMSC upon successfully calling "
       "the SMSWC2 function. Use this number to match with property \"DRMsgRef\" - number "
       "from the delivery status report."},
      {"SMSC", "SMSC (SMS Centre) number"},
      {"Msg", "SMS Message."},
      {"MN", "Mobile number of sender."},
      {"IDD", "IDD prefix"},
      {"InitModem",
       "To initialise the GSM modem, the return value is:\r\n"
       "    0 = Fail if cannot connect to modem\r\n    1 = OK if successfully connected to "
       "modem\r\n"
       "    2 = PINRequired if SIM card requires PIN\r\n    3 = WrongPIN if wrong PIN is "
       "entered\r\n"
       "    4 = SIMBlocked if SIM card is blocked by TELCO\r\n"
       "    5 = SIMError if SIM card has problem"},
      {"ConnectToGSM",
       "To check whether the GSM modem is connected to GSM network.\r\nReturn value  is:\r\n"
       "= TRUE; if connected\r\n= FASLE; else otherwise"},
      {"ReadSMS",
       "To read incoming SMS\r\nReturn value is:\r\n= TRUE if read ok, else error\r\n"
       "= FALSE if otherwise\r\nIf = TRUE, then all values are stored into properties - MN, "
       "MSG, TS, SMSC"},
      {"SendLMSText", ""},
      {"SendSMST",
       "Send SMS in text format\r\nSendSMS = TRUE if send ok else FALSE\r\n"
       "Number = HP number of recipient\r\n"
       "MessageUnicdoe = message in text format, max 160 characters"},
      {"SendSMSU",
       "Send SMS in unicode format\r\nSendSMS = TRUE if send ok else FALSE\r\n"
       "Number = HP number of recipient\r\n"
       "MessageUnicdoe = message in unicode format, max 70 characters\r\n\r\n"},
      {"DeliveryReportOn",
       "To turn ON the SMS delivery status report.\r\nReturn value is:\r\n"
       "= TRUE if it is successfully turn on, else \r\n= FALSE"},
      {"DeliveryReportOff",
       "To turn OFF the SMS delivery status report.\r\nReturn value is:\r\n"
       "= TRUE if successfully turn off else\r\n= FALSE"},
      {"GetDeliveryReport", "To get SMS delivery status report.\r\nReturn value is:\r\n"},
      {"CloseModem",
       "To close the connection to modem.\r\nRetrun value is:\r\n= TRUE;  if ok, else\r\n"
       "= FALSE \r\n"},
  };
  for (const auto& c : cases) {
    const Member* m = FindMember(c.name);
    ASSERT_NE(m, nullptr) << c.name;
    EXPECT_EQ(m->help, c.help) << c.name;
  }
}

TEST(TypeLibrary, EnumerationsWithTheirOwnNamesAsHelp) {
  struct Case {
    Type type;
    std::vector<std::pair<std::string, std::int32_t>> members;
  } cases[] = {
      {Type::DeliveryStatus, {{"Undelivered", 0}, {"Delivered", 1}, {"Unknown", 2}}},
      {Type::ModemStatus,
       {{"Fail", 0},
        {"OK", 1},
        {"PINRequired", 2},
        {"PINWrong", 3},
        {"SIMBlocked", 4},
        {"SIMError", 5}}},
  };
  ASSERT_EQ(TypeLib().enums.size(), 2U);
  for (const auto& c : cases) {
    const Enumeration* e = EnumOf(c.type);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->name, TypeName(c.type));
    ASSERT_EQ(e->members.size(), c.members.size()) << e->name;
    for (std::size_t i = 0; i < c.members.size(); ++i) {
      EXPECT_EQ(e->members[i].name, c.members[i].first);
      EXPECT_EQ(e->members[i].value, c.members[i].second);
      EXPECT_EQ(e->members[i].help, c.members[i].first);
      EXPECT_EQ(EnumName(c.type, c.members[i].second), c.members[i].first);
    }
    EXPECT_EQ(EnumName(c.type, static_cast<std::int32_t>(c.members.size())), "");
    EXPECT_EQ(EnumName(c.type, -1), "");
  }
  EXPECT_EQ(EnumOf(Type::String), nullptr);
}

}  // namespace
}  // namespace selvarn::api
