// Message memories and the network behind the modem, byte for byte. The PDUs are worked
// out by hand from 23.040, not by the simulator's own codec.
#include <gtest/gtest.h>

#include <thread>

#include "client.hpp"
#include "modemsim/simulator.hpp"

namespace modemsim_test {
namespace {

using selvarn::modemsim::Coding;
using selvarn::modemsim::IncomingMessage;
using selvarn::modemsim::IncomingReport;
using selvarn::modemsim::MessageStatus;
using selvarn::modemsim::ModemState;
using selvarn::modemsim::Simulator;
using selvarn::modemsim::StoredMessage;

const std::string kOk = "\r\nOK\r\n";
const std::string kSmsc = "0791447758100650";  // +447785016005
// From +447700900001 at 24/05/01,09:30:00+04, "Hi"; 21 octets after the service centre.
const std::string kHi = kSmsc + "040C9144770009001000004250109003004002C834";
// Report on reference 12 to +447700900001: delivered (0), discharged at 09:30:02-20.
const std::string kReport = kSmsc + "060C0C91447700090010425010900300404250109003200A00";
// To the own number +447700900123, report requested, "hello"; 19 octets.
const std::string kToSelf = "0031000C914477000910320000AA05E8329BFD06";
const std::string kCmgr = "\"REC UNREAD\",\"+447700900001\",,\"24/05/01,09:30:00+04\"";
const std::string kReportText =
    "6,12,\"+447700900001\",145,\"24/05/01,09:30:00+04\",\"24/05/01,09:30:02-20\",0";

ModemState Stored(std::vector<StoredMessage> sm, std::vector<StoredMessage> sr = {}, int cmgf = 0,
                  int csdh = 0) {
  return {.echo = false, .cmgf = cmgf, .csdh = csdh, .sm = std::move(sm), .sr = std::move(sr)};
}
StoredMessage Unread(int index, std::string pdu) {
  return {index, MessageStatus::ReceivedUnread, pdu};
}
StoredMessage Read(int index, std::string pdu) { return {index, MessageStatus::ReceivedRead, pdu}; }
std::string Info(const std::string& text) { return "\r\n" + text + "\r\n" + kOk; }
std::string Cms(int n) { return "\r\n+CMS ERROR: " + std::to_string(n) + "\r\n"; }

const Dialogue kStores[] = {
    {"CpmsCountsAndRefusesUnknownMemories",
     Stored({Unread(1, kHi), Read(2, kHi)}, {Unread(1, kReport)}),
     {{"AT+CPMS=\"SM\"\r", Info("+CPMS: 2,30,2,30,2,30")},
      {"AT+CPMS=\"SR\";+CPMS?\r",
       "\r\n+CPMS: 1,30,2,30,2,30\r\n" + Info("+CPMS: \"SR\",1,30,\"SM\",2,30,\"SM\",2,30")},
      {"AT+CPMS=\"ME\"\r", Cms(302)},
      {"AT+CPMS=\"SM\",\"SR\"\r", Cms(302)},
      {"AT+CPMS=?\r", Info("+CPMS: (\"SM\",\"SR\"),(\"SM\"),(\"SM\")")}}},
    // The library lists all, then the read ones: listing marks unread as read.
    {"CmglPduQuotedOrBareMarksRead",
     Stored({Unread(1, kHi), Read(3, kHi)}),
     {{"AT+CMGL\r", Info("+CMGL: 1,0,,21\r\n" + kHi)},
      {"AT+CMGL=\"4\"\r\r", Info("+CMGL: 1,1,,21\r\n" + kHi + "\r\n+CMGL: 3,1,,21\r\n" + kHi)},
      {"AT+CMGL=\"0\"\r", kOk},
      {"AT+CMGL=2\r", kOk},
      {"AT+CMGL=5\r", Cms(304)},
      {"AT+CMGL=\"ALL\"\r", Cms(304)}}},
    {"CmglTextModeAndHeaders",
     Stored({Unread(1, kHi)}, {}, 1, 1),
     {{"AT+CMGL=\"REC UNREAD\"\r",
       Info("+CMGL: 1,\"REC UNREAD\",\"+447700900001\",,\"24/05/01,09:30:00+04\",145,2\r\nHi")},
      {"AT+CSDH=0;+CMGL=\"ALL\"\r",
       Info("+CMGL: 1,\"REC READ\",\"+447700900001\",,\"24/05/01,09:30:00+04\"\r\nHi")},
      {"AT+CMGL=\"STO SENT\"\r", kOk},
      {"AT+CMGL=4\r", Cms(305)}}},
    {"CmgrPduMarksRead",
     Stored({Unread(2, kHi)}),
     {{"AT+CMGR=2\r", Info("+CMGR: 0,,21\r\n" + kHi)},
      {"AT+CMGR=\"2\"\r", Info("+CMGR: 1,,21\r\n" + kHi)},
      {"AT+CMGR=1\r", Cms(321)},
      {"AT+CMGR=x\r", Cms(304)}}},
    {"CmgrTextModeCsdh",
     Stored({Unread(1, kHi)}, {}, 1),
     {{"AT+CMGR=\"1\"\r", Info("+CMGR: " + kCmgr + "\r\nHi")},
      {"AT+CSDH=1;+CMGR=1\r", Info("+CMGR: \"REC READ\"" + kCmgr.substr(12) +
                                   ",145,4,0,0,\"+447785016005\",145,2\r\nHi")}}},
    {"StatusReportsInTextMode",
     Stored({}, {Unread(1, kReport)}, 1),
     {{"AT+CPMS=\"SR\"\r", Info("+CPMS: 1,30,0,30,0,30")},
      {"AT+CMGL=\"ALL\"\r", Info("+CMGL: 1,\"REC UNREAD\"," + kReportText)},
      {"AT+CMGR=\"1\"\r", Info("+CMGR: \"REC READ\"," + kReportText)},
      {"AT+CMGF=0;+CMGR=1\r", Info("+CMGR: 1,,25\r\n" + kReport)}}},
    {"CmgdIndexAndDelflags",
     Stored({Unread(1, kHi),
             Read(2, kHi),
             Read(3, kHi),
             Unread(4, kHi),
             {5, MessageStatus::StoredSent, kToSelf},
             {6, MessageStatus::StoredUnsent, kToSelf}}),
     {{"AT+CMGD=2\r\r", kOk},
      {"AT+CMGD=2\r", Cms(321)},
      {"AT+CMGD=1,1\r", kOk},
      {"AT+CMGD=?\r", Info("+CMGD: (1,4,5,6),(0-4)")},
      {"AT+CMGD=1,2\r", kOk},
      {"AT+CMGD=?\r", Info("+CMGD: (1,4,6),(0-4)")},
      {"AT+CMGD=1,3\r", kOk},
      {"AT+CMGD=?\r", Info("+CMGD: (1,4),(0-4)")},
      {"AT+CMGD=1,5\r", Cms(304)},
      {"AT+CMGD=0,4\r", kOk},
      {"AT+CMGD=?\r", Info("+CMGD: (),(0-4)")}}},
    // Some modems number from 0: index 0 is an entry like any other.
    {"IndexZero",
     Stored({Unread(0, kHi)}, {}, 1, 1),
     {{"AT+CMGL=\"ALL\"\r",
       Info("+CMGL: 0,\"REC UNREAD\",\"+447700900001\",,\"24/05/01,09:30:00+04\",145,2\r\nHi")},
      {"AT+CMGF=0;+CMGL=4;+CMGR=0\r",
       "\r\n+CMGL: 0,1,,21\r\n" + kHi + "\r\n" + Info("+CMGR: 1,,21\r\n" + kHi)},
      {"AT+CMGD=0;+CMGL=4\r", kOk}}},
    // The extension table; data coding F4 (8-bit data) in hex; reserved 0C read as 7-bit.
    {"TextModeDataByCoding",
     Stored(
         {Unread(1,
                 kSmsc + "040C91447700090010000042501090030040121BCA06B5496D5E1BDEA6B7F16D809B32"),
          Unread(2, kSmsc + "040C9144770009001000F44250109003004002C834"),
          Unread(3, kSmsc + "040C91447700090010000C4250109003004002C834")},
         {}, 1),
     {{"AT+CMGR=1\r", Info("+CMGR: " + kCmgr + "\r\n^{}\\[~]|\xE2\x82\xAC")},
      {"AT+CMGR=2\r", Info("+CMGR: " + kCmgr + "\r\nC834")},
      {"AT+CMGR=3\r", Info("+CMGR: " + kCmgr + "\r\nHi")}}},
    {"UnreadablePdusShownAsStored",
     Stored({Unread(1, "0A1")}, {}, 1),
     {{"AT+CMGL=\"ALL\"\r", Info("+CMGL: 1,\"REC UNREAD\"\r\n0A1")},
      {"AT+CMGF=0;+CMGR=1\r", Info("+CMGR: 1,,0\r\n0A1")}}},
    {"ConfigurationSetReadTest",
     Stored({}),
     {{"AT+CNMI=2,1,0,2,0;+CNMI?\r", Info("+CNMI: 2,1,0,2,0")},
      {"AT+CNMI=?\r", Info("+CNMI: (0-2),(0-3),(0),(0-2),(0,1)")},
      {"AT+CNMI=3\r", Cms(304)},
      {"AT+CSMP=49,255,0,0;+CSMP?\r", Info("+CSMP: 49,255,0,0")},
      {"AT+CSMP=256\r", Cms(304)},
      {"AT+CMMS=2;+CMMS?\r", Info("+CMMS: 2")},
      {"AT+CMMS=?\r", Info("+CMMS: (0-2)")},
      {"AT+CMMS=3\r", Cms(304)},
      {"AT+CNUM\r", Info("+CNUM: ,\"+447700900123\",145")}}},
    {"MessageServiceNeedsTheSim",
     {.echo = false, .sim = selvarn::modemsim::SimState::PinRequired},
     {{"AT+CPMS=\"SM\"\r", Cms(311)}, {"AT+CMGL=4\r", Cms(311)}, {"AT+CMGS=19\r", Cms(311)}}},
    // The prompt, a length that must match the PDU, a PDU that must be an SMS-SUBMIT.
    {"CmgsChecksThePdu",
     {.echo = false, .next_reference = 255, .own_number = ""},
     {{"AT+CMGS=19\r", "\r\n> "},
      {kToSelf + "\x1a", Info("+CMGS: 255")},
      {"AT+CMGS=19\r" + kToSelf + "\x1a", "\r\n> " + Info("+CMGS: 0")},
      {"AT+CMGS=18\r" + kToSelf + "\x1a", "\r\n> " + Cms(304)},
      {"AT+CMGS=1\r0000\x1a", "\r\n> " + Cms(304)},
      {"AT+CMGS=4\r0031000C91\x1a", "\r\n> " + Cms(304)},
      {"AT+CMGS=19\r" + kToSelf.substr(0, 6) + "\x1b", "\r\n> " + kOk},
      {"AT\r", kOk}}},
};

class Stores : public testing::TestWithParam<Dialogue> {};

TEST_P(Stores, AnswerExactly) { RunDialogue(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Commands, Stores, testing::ValuesIn(kStores),
                         [](const auto& info) { return std::string(info.param.name); });

class Network : public testing::Test {
 protected:
  void SetUp() override {
    sim_.Set("clock", {"24/05/01,12:00:00"});
    sim_.Set("clock-runs", {"off"});
    sim_.Set("network-delay", {"0"});
  }
  TempDir dir_;
  Simulator sim_{{.port_folder = dir_.path, .modem = {.echo = false}}};
  Client client_{sim_.link_path()};
};

// A message to the own number with a report asked for comes back twice: the text as an
// SMS-DELIVER in SM and the report in SR, each announced as AT+CNMI routes it.
TEST_F(Network, SendToSelfComesBackWithItsReport) {
  ASSERT_TRUE(Answers(client_, "AT+CNMI=2,1,0,2,0\r", kOk));
  ASSERT_TRUE(
      Answers(client_, "AT+CMGS=19\r" + kToSelf + "\x1a",
              "\r\n> " + Info("+CMGS: 1") + "\r\n+CMTI: \"SM\",1\r\n" + "\r\n+CDSI: \"SR\",1\r\n"));
  const std::string stamp = "42501021000040";  // 24/05/01,12:00:00+04
  const std::string back = kSmsc + "040C914477000910320000" + stamp + "05E8329BFD06";
  EXPECT_EQ(sim_.Messages("SM"), (std::vector<StoredMessage>{Unread(1, back)}));
  EXPECT_EQ(sim_.Messages("SR"),
            (std::vector<StoredMessage>{
                Unread(1, kSmsc + "06010C91447700091032" + stamp + "4250102100204000")}));
  // To another number: nothing comes back.
  ASSERT_TRUE(Answers(client_, "AT+CMGS=23\r0011000B916407281553F80000AA0AE8329BFD4697D9EC37\x1a",
                      "\r\n> " + Info("+CMGS: 2")));
  EXPECT_EQ(client_.ReadFor(50ms), "");
  // Part 1 of 2 in UCS2, no report asked for: header, coding and data come back as sent.
  ASSERT_TRUE(Answers(client_, "AT+CMGS=24\r0051000C914477000910320008AA0A05000307020100410042\x1a",
                      "\r\n> " + Info("+CMGS: 3") + "\r\n+CMTI: \"SM\",2\r\n"));
  EXPECT_EQ(sim_.Messages("SM").back().pdu,
            kSmsc + "440C914477000910320008" + stamp + "0A05000307020100410042");
  EXPECT_EQ(sim_.Messages("SR").size(), 1u);
  // In text mode the text is sent in the 7-bit alphabet with the AT+CSMP first octet.
  ASSERT_TRUE(Answers(client_, "AT+CMGF=1;+CSMP=49,167,0,0\r", kOk));
  ASSERT_TRUE(
      Answers(client_, "AT+CMGS=\"+447700900123\"\rhello\x1a",
              "\r\n> " + Info("+CMGS: 4") + "\r\n+CMTI: \"SM\",3\r\n" + "\r\n+CDSI: \"SR\",2\r\n"));
  EXPECT_EQ(sim_.Messages("SM").back().pdu, back);
  ASSERT_TRUE(Answers(client_, "AT+CMGS=\"+447700900123\"\r\xE4\xB8\xAD\x1a",
                      "\r\n> \r\n+CMS ERROR: 305\r\n"));
}

// Failed or deferred recipients get a report with that status and no message; the
// time stamps carry a zone west of Greenwich when the modem is set so.
TEST_F(Network, OutcomesDecideStatusAndWhetherTheMessageArrives) {
  const std::pair<const char*, const char*> kOutcomes[] = {
      {"failed", "40"}, {"deferred", "20"}, {"70", "46"}, {"delivered", "00"}};
  sim_.Set("zone", {"-20"});
  sim_.Set("outcome", {"+15550001", "failed"});  // another recipient's fate is not ours
  int reference = 1;
  for (const auto& [outcome, status] : kOutcomes) {
    sim_.Set("outcome", {"+447700900123", outcome});
    ASSERT_TRUE(Answers(client_, "AT+CMGS=19\r" + kToSelf + "\x1a",
                        "\r\n> " + Info("+CMGS: " + std::to_string(reference++))));
    const auto reports = sim_.Messages("SR");
    ASSERT_EQ(reports.size(), 1u) << outcome;
    EXPECT_EQ(reports[0].pdu.substr(36), "4250102100000A4250102100200A" + std::string(status));
    EXPECT_EQ(sim_.Messages("SM").size(), std::string(status) == "00" ? 1u : 0u) << outcome;
    const std::string sm = std::string(status) == "00" ? "1" : "0";
    ASSERT_TRUE(Answers(client_, "AT+CPMS=\"SR\";+CMGD=0,4\r",
                        Info("+CPMS: 1,30," + sm + ",30," + sm + ",30")));
  }
}

// A long text arrives as parts with their concatenation header, in the order asked for,
// duplicates included; an escape pair and a surrogate pair are never split.
TEST_F(Network, LongMessagesArriveAsPartsInAnyOrder) {
  sim_.Set("cnmi", {"2", "1", "0", "0", "0"});
  const std::string head = kSmsc + "440C91447700090010";
  const std::string stamp = "42501021000040";
  // Part 2 of 153 'a' and "hellohello": the header, one fill bit, the text shifted by it.
  sim_.Deliver({.text = std::string(153, 'a') + "hellohello", .order = {2, 1, 2}});
  EXPECT_EQ(Join(client_.ReadTimed("+CMTI: \"SM\",3\r\n", 1000ms)),
            "\r\n+CMTI: \"SM\",1\r\n\r\n+CMTI: \"SM\",2\r\n\r\n+CMTI: \"SM\",3\r\n");
  auto sm = sim_.Messages("SM");
  ASSERT_EQ(sm.size(), 3u);
  const std::string second = head + "0000" + stamp + "11050003010202D06536FB8D2EB3D96F";
  EXPECT_EQ(sm[0].pdu, second);
  EXPECT_EQ(sm[1].pdu.substr(0, 66), head + "0000" + stamp + "A0050003010201");
  EXPECT_EQ(sm[1].pdu.size(), 54 + 2 * 140u);
  EXPECT_EQ(sm[2].pdu, second);

  // 152 septets and a euro sign (an escape pair) do not fit 153: the pair moves on.
  EXPECT_EQ(sim_.StoreMessage({.text = std::string(152, 'a') + "\xE2\x82\xAC" + "bbbbbbbbbb"}),
            (std::vector<int>{4, 5}));
  sm = sim_.Messages("SM");
  EXPECT_EQ(sm[3].pdu.substr(52, 14), "9F050003020201");
  EXPECT_EQ(sm[4].pdu.substr(52, 14), "13050003020202");
  // 66 Cyrillic letters, an emoji (a surrogate pair) and three more: 66 and 5 units.
  std::string zhe;
  for (int i = 0; i < 66; ++i) zhe += "\xD0\x96";
  EXPECT_EQ(sim_.StoreMessage({.text = zhe + "\xF0\x9F\x98\x80" + "\xD0\x96\xD0\x96\xD0\x96",
                               .coding = Coding::Ucs2}),
            (std::vector<int>{6, 7}));
  sm = sim_.Messages("SM");
  EXPECT_EQ(sm[5].pdu.substr(34, 18), "0008" + stamp);
  EXPECT_EQ(sm[5].pdu.substr(52, 14), "8A050003030201");
  EXPECT_EQ(sm[6].pdu.substr(52), "10050003030202D83DDE00041604160416");
}

// A full memory keeps what the network brings until a deletion makes room: nothing lost.
TEST_F(Network, FullMemoryHoldsArrivalsUntilThereIsRoom) {
  sim_.Set("capacity", {"1"});
  sim_.Set("first-index", {"0"});
  sim_.Set("cnmi", {"2", "1", "0", "2", "0"});
  sim_.Deliver({.text = "one"});
  sim_.Deliver({.text = "two"});
  sim_.DeliverReport({.reference = 0});
  EXPECT_EQ(Join(client_.ReadTimed("+CDSI: \"SR\",0\r\n", 1000ms)),
            "\r\n+CMTI: \"SM\",0\r\n\r\n+CDSI: \"SR\",0\r\n");
  EXPECT_EQ(sim_.State().in_transit.size(), 1u);
  EXPECT_THROW(sim_.StoreMessage({.text = "three"}), std::length_error);
  ASSERT_TRUE(Answers(client_, "AT+CMGD=0\r", kOk + "\r\n+CMTI: \"SM\",0\r\n"));
  const auto sm = sim_.Messages("SM");
  ASSERT_EQ(sm.size(), 1u);
  EXPECT_EQ(sm[0].pdu.substr(sm[0].pdu.size() - 8), "03F4FB1B") << "two, not one";
}

// With AT+CNMI mt 2 and ds 1 arrivals are shown at once and not stored.
TEST_F(Network, DirectIndicationsInBothModes) {
  ASSERT_TRUE(Answers(client_, "AT+CNMI=2,2,0,1,0\r", kOk));
  sim_.Deliver({.text = "Hi", .time = "24/05/01,09:30:00+04"});
  EXPECT_EQ(Join(client_.ReadTimed("C834\r\n", 1000ms)), "\r\n+CMT: ,21\r\n" + kHi + "\r\n");
  sim_.DeliverReport(
      {.reference = 12, .submitted = "24/05/01,09:30:00+04", .discharged = "24/05/01,09:30:02-20"});
  EXPECT_EQ(Join(client_.ReadTimed("A00\r\n", 1000ms)), "\r\n+CDS: 25\r\n" + kReport + "\r\n");
  ASSERT_TRUE(Answers(client_, "AT+CMGF=1;+CSDH=1\r", kOk));
  sim_.Deliver({.text = "Hi", .time = "24/05/01,09:30:00+04"});
  EXPECT_EQ(Join(client_.ReadTimed("Hi\r\n", 1000ms)),
            "\r\n+CMT: \"+447700900001\",,\"24/05/01,09:30:00+04\",145,4,0,0,\"+447785016005\","
            "145,2\r\nHi\r\n");
  sim_.DeliverReport(
      {.reference = 12, .submitted = "24/05/01,09:30:00+04", .discharged = "24/05/01,09:30:02-20"});
  EXPECT_EQ(Join(client_.ReadTimed(",0\r\n", 1000ms)), "\r\n+CDS: " + kReportText + "\r\n");
  EXPECT_TRUE(sim_.Messages("SM").empty());
  EXPECT_TRUE(sim_.Messages("SR").empty());
}

// Indications wait while a command is typed or a message entered, and while AT+CNMI mode
// is 0; entering a mode with bfr 0 flushes those after the OK.
TEST_F(Network, IndicationsNeverCutIntoALine) {
  sim_.Set("cnmi", {"0", "1", "0", "0", "0"});
  sim_.Deliver({.text = "one"});
  EXPECT_EQ(client_.ReadFor(50ms), "");
  ASSERT_TRUE(Answers(client_, "AT+CNMI=1,1,0,0,0\r", kOk + "\r\n+CMTI: \"SM\",1\r\n"));
  client_.Write("AT+CMG");
  sim_.Deliver({.text = "two"}, 20ms);
  EXPECT_EQ(client_.ReadFor(80ms), "");
  ASSERT_TRUE(Answers(client_, "F=0\r", kOk + "\r\n+CMTI: \"SM\",2\r\n"));
  client_.Write("AT+CMGS=19\r");
  sim_.Deliver({.text = "three"}, 20ms);
  EXPECT_EQ(client_.ReadFor(80ms), "\r\n> ");
  ASSERT_TRUE(Answers(client_, "\x1b", kOk + "\r\n+CMTI: \"SM\",3\r\n"));
}

}  // namespace
}  // namespace modemsim_test
