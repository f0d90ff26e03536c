// The modem session over the simulator: opening by device or port, the planner, sends with
// and without a report request, and taking everything a modem holds in one pass, with the
// commands on the wire counted.
#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "modemsim/settings.hpp"
#include "platform/host_form.hpp"
#include "selvarn/gateway.hpp"
#include "support/errors.hpp"
#include "support/files.hpp"
#include "support/sim_port.hpp"

namespace selvarn {
namespace session_test {

using modemsim::IncomingMessage;
using modemsim::IncomingReport;
using modemsim::MessageStatus;

const std::string kOwn = "+447700900123";
const std::string kAfterStart = "AT+CNMI=2,1,0,2,0\rAT+CPMS?\r";

class Session : public testing::SimulatedModem {
 protected:
  void TearDown() override {
    gw.reset();
    SimulatedModem::TearDown();
  }
  // A modem with these profiles, and a session open on it by its device.
  void Start(const std::vector<std::string>& profiles = {}) {
    modemsim::ModemState state;
    for (const std::string& p : profiles) modemsim::ApplyProfile(state, p);
    sim = std::make_unique<modemsim::Simulator>(
        modemsim::Options{.port_folder = ports.path(), .modem = state});
    gw = std::make_unique<Gateway>(GatewayOptions{.device = sim->device_path(), .store = Db()});
    ASSERT_EQ(gw->Open(), ModemStatus::OK) << gw->LastStart().detail;
    sim->ClearTranscript();
  }
  std::string Db() const { return dir.path + "/messages.db"; }
  std::string Wire() {
    std::string wire = sim->Received();
    sim->ClearTranscript();
    return wire;
  }
  // A message's PDUs as the network would bring them, each part once.
  std::vector<std::string> Pdus(const IncomingMessage& m) {
    modemsim::ModemState state = sim->State();
    return modemsim::MessagePdus(state, m);
  }

  testing::TempDir dir;
  std::unique_ptr<Gateway> gw;
};

std::string Deletions(const std::vector<int>& indexes) {
  std::string out;
  for (const int i : indexes) out += "AT+CMGD=" + std::to_string(i) + "\r";
  return out;
}

TEST_F(Session, OpensByDevicePathOrPortWithTheSameStartUp) {
  SMS plain;
  ASSERT_EQ(plain.InitModem(static_cast<std::int16_t>(sim->port())), ModemStatus::OK);
  plain.CloseModem();
  const std::string start_up = Wire();
  struct Row {
    const char* name;
    GatewayOptions options;
  } rows[] = {
      {"the device itself", {.device = sim->device_path()}},
      {"a link to it", {.device = sim->link_path()}},
      {"its port number", {.port = static_cast<std::int16_t>(sim->port())}},
  };
  for (Row& row : rows) {
    row.options.store = Db();
    Gateway session(row.options);
    ASSERT_EQ(session.Open(), ModemStatus::OK) << row.name << ": " << session.LastStart().detail;
    EXPECT_TRUE(session.IsOpen()) << row.name;
    EXPECT_EQ(session.LastStart().device, sim->device_path()) << row.name;
    EXPECT_EQ(Wire(), start_up + kAfterStart) << row.name;
    session.Close();
    EXPECT_FALSE(session.IsOpen()) << row.name;
    // The device chosen for the session is no detour for the thread's next start-up.
    EXPECT_EQ(platform::frmATC().GSM.DevicePath(), "") << row.name;
  }
}

TEST_F(Session, AMissingDeviceIsNamedAndNothingIsWritten) {
  Gateway session({.device = dir.path + "/ttyNone", .store = Db()});
  EXPECT_EQ(session.Open(), ModemStatus::Fail);
  EXPECT_EQ(session.LastStart().reason, StartReason::NoDevice);
  EXPECT_EQ(session.LastStart().device, dir.path + "/ttyNone");
  EXPECT_FALSE(session.IsOpen());
  EXPECT_EQ(testing::ErrorNumberOf([&] { session.TakeAll(); }), err::kDeviceNotOpen);
  EXPECT_EQ(testing::ErrorNumberOf([&] { session.Send({.number = kOwn, .text = "x"}); }),
            err::kDeviceNotOpen);
  EXPECT_TRUE(session.Store().Outbox().empty());
}

TEST(GatewayPlan, FollowsTheSends) {
  const std::string euro = "\xE2\x82\xAC";       // in the extension table: two septets
  const std::string zhe = "\xD0\xB6";            // Cyrillic: UCS2
  const std::string emoji = "\xF0\x9F\x98\x80";  // a surrogate pair
  const std::string x153(153, 'x'), x160(160, 'x');
  struct Row {
    const char* name;
    std::string text;
    SendCoding asked;
    SendCoding coding;
    std::vector<int> lengths;
    int unmapped = 0;
  } rows[] = {
      {"160 septets fit one", x160, SendCoding::Auto, SendCoding::Gsm7, {160}},
      {"161 take two", x160 + "x", SendCoding::Auto, SendCoding::Gsm7, {153, 8}},
      {"an escape pair is not split",
       x153.substr(0, 152) + euro + std::string(10, 'y'),
       SendCoding::Auto,
       SendCoding::Gsm7,
       {152, 12}},
      {"extension characters count two", euro + "a", SendCoding::Auto, SendCoding::Gsm7, {3}},
      {"70 units fit one",
       [&] {
         std::string s;
         for (int i = 0; i < 70; ++i) s += zhe;
         return s;
       }(),
       SendCoding::Auto,
       SendCoding::Ucs2,
       {70}},
      {"71 take two",
       [&] {
         std::string s;
         for (int i = 0; i < 71; ++i) s += zhe;
         return s;
       }(),
       SendCoding::Auto,
       SendCoding::Ucs2,
       {67, 4}},
      {"a surrogate pair is not split",
       std::string(66, 'a') + emoji,
       SendCoding::Ucs2,
       SendCoding::Ucs2,
       {68}},
      {"and moves whole to the next part",
       std::string(66, 'a') + emoji + std::string(3, 'a'),
       SendCoding::Ucs2,
       SendCoding::Ucs2,
       {66, 5}},
      {"Gsm7 asked: what it lacks is counted",
       "a" + zhe + emoji,
       SendCoding::Gsm7,
       SendCoding::Gsm7,
       {3},
       2},
      {"Ucs2 asked for plain text", "abc", SendCoding::Ucs2, SendCoding::Ucs2, {3}},
  };
  for (const Row& row : rows) {
    const TextPlan plan = Plan(row.text, row.asked);
    EXPECT_EQ(plan.coding, row.coding) << row.name;
    EXPECT_EQ(plan.lengths, row.lengths) << row.name;
    EXPECT_EQ(plan.concatenated, row.lengths.size() > 1) << row.name;
    EXPECT_EQ(plan.unmapped, row.unmapped) << row.name;
  }
  EXPECT_EQ(testing::ErrorNumberOf([] { Plan(""); }), err::kInvalidCall);
  EXPECT_EQ(testing::ErrorNumberOf([] { Plan(std::string(153 * 256, 'x')); }), err::kOverflow);
}

TEST_F(Session, SendsAskForAReportOnlyWhenTold) {
  Start();
  // "hi" to +447700900123: the first octet is 21 with the request, 01 without.
  const std::string tail =
      "000C914477000910320000"
      "02E834";
  for (const bool report : {true, false}) {
    std::vector<std::pair<int, int>> progress;
    const store::SendOutcome out =
        gw->Send({.number = kOwn, .text = "hi", .report = report},
                 [&](int taken, int total) { progress.emplace_back(taken, total); });
    EXPECT_EQ(Wire(), "AT+CMGS=15\r\r00" + std::string(report ? "21" : "01") + tail + "\x1a\r");
    ASSERT_TRUE(out.record.has_value());
    EXPECT_EQ(out.record->send_state, store::SendState::Sent);
    EXPECT_EQ(out.references.size(), 1U);
    EXPECT_EQ(progress, (std::vector<std::pair<int, int>>{{1, 1}}));
  }
}

TEST_F(Session, LongSendsTakeTheNextReferenceOfTheStoreAcrossRestarts) {
  Start();
  std::vector<std::string> seen;
  const auto send = [&](Gateway& session, int reference) {
    const store::SendOutcome out =
        session.Send({.number = kOwn, .text = std::string(200, 'x'), .reference = reference});
    const std::string wire = Wire();
    // The concatenation element: 05 00 03, reference, 2 parts, part 1.
    const auto at = wire.find("050003");
    seen.push_back(at == std::string::npos ? "none" : wire.substr(at + 6, 2));
    return out.id;
  };
  const std::int64_t first = send(*gw, -1);
  const std::int64_t second = send(*gw, -1);
  send(*gw, 200);
  gw.reset();
  gw = std::make_unique<Gateway>(GatewayOptions{.device = sim->device_path(), .store = Db()});
  ASSERT_EQ(gw->Open(), ModemStatus::OK);
  Wire();
  send(*gw, -1);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 2);
  EXPECT_EQ(seen, (std::vector<std::string>{"01", "02", "C8", "04"}));
  EXPECT_EQ(
      testing::ErrorNumberOf([&] { gw->Send({.number = kOwn, .text = "x", .reference = 256}); }),
      err::kInvalidCall);
}

TEST_F(Session, TakesAMixedStorageInOnePassAndQuarantinesTheUndecodableOnItsSecondSighting) {
  Start();
  const IncomingMessage long_text{.text = std::string(150, 'a') + std::string(150, 'b') +
                                          std::string(30, 'c')};  // three parts
  const std::vector<std::string> parts = Pdus(long_text);
  ASSERT_EQ(parts.size(), 3U);
  const std::string greek = "\xCE\x9A\xCE\xB1\xCE\xBB\xCE\xB7";
  std::vector<int> sm;
  sm.push_back(sim->StorePdu("SM", parts[2]));
  sm.push_back(sim->StoreMessage({.text = "short"})[0]);
  sm.push_back(sim->StorePdu("SM", parts[0]));
  sm.push_back(sim->StoreMessage({.text = greek, .coding = modemsim::Coding::Ucs2})[0]);
  sm.push_back(sim->StorePdu("SM", parts[2]));     // the same part again
  const int broken = sim->StorePdu("SM", "0004");  // a DELIVER cut short
  sm.push_back(sim->StorePdu("SM", parts[1], MessageStatus::ReceivedRead));
  // A copy of a message sent from the SIM is its owner's, not a received one.
  const int outgoing =
      sim->StorePdu("SM", "0001000C91447700091032000002E834", MessageStatus::StoredSent);
  const std::vector<int> sr = {sim->StoreReport({.reference = 7, .status = 0}),
                               sim->StoreReport({.reference = 8, .status = 64})};

  const TakeAllResult first = gw->TakeAll();
  EXPECT_EQ(Wire(), "AT+CPMS=\"SR\"\rAT+CMGL=4\r" + Deletions(sr) + "AT+CPMS=\"SM\"\rAT+CMGL=4\r" +
                        Deletions({sm[0], sm[1], sm[2], sm[3], sm[4], sm[5]}));
  EXPECT_EQ(first.parts, 6);
  EXPECT_EQ(first.reports, 2);
  EXPECT_EQ(first.quarantined, 0);
  EXPECT_EQ(first.left, 1);
  EXPECT_FALSE(first.stuck || first.unlisted);
  ASSERT_EQ(first.warnings.size(), 1U);
  EXPECT_NE(first.warnings[0].find("SM " + std::to_string(broken)), std::string::npos)
      << first.warnings[0];

  std::vector<std::string> texts;
  for (const store::Message& m : gw->Store().NewMessages()) texts.push_back(m.Text());
  std::sort(texts.begin(), texts.end());
  EXPECT_EQ(texts, (std::vector<std::string>{long_text.text, "short", greek}));
  std::vector<std::pair<int, int>> reports;
  for (const store::StoredReport& r : gw->Store().Reports())
    reports.emplace_back(r.report.reference, r.report.status);
  EXPECT_EQ(reports, (std::vector<std::pair<int, int>>{{7, 0}, {8, 64}}));

  const TakeAllResult second = gw->TakeAll();
  EXPECT_EQ(Wire(), "AT+CPMS=\"SR\"\rAT+CMGL=4\rAT+CPMS=\"SM\"\rAT+CMGL=4\r" + Deletions({broken}));
  EXPECT_EQ(second.quarantined, 1);
  EXPECT_EQ(second.left, 0);
  EXPECT_TRUE(second.warnings.empty());
  ASSERT_EQ(gw->Store().Quarantined().size(), 1U);
  EXPECT_EQ(gw->Store().Quarantined()[0].raw, "0004");
  ASSERT_EQ(sim->Messages("SM").size(), 1U);
  EXPECT_EQ(sim->Messages("SM")[0].index, outgoing);
}

TEST_F(Session, TakesFromTheStorageTheModemKeepsMessagesIn) {
  struct Row {
    const char* name;
    std::vector<std::string> profiles;
    std::string memory;  // where the messages are
  } rows[] = {
      {"ME", {"me-storage"}, "ME"},
      {"numbered from 0", {"zero-index"}, "SM"},
      {"both", {"me-storage", "zero-index"}, "ME"},
  };
  for (const Row& row : rows) {
    Start(row.profiles);
    const std::vector<int> at = sim->StoreMessage({.text = std::string(170, 'm')});
    ASSERT_EQ(sim->Messages(row.memory).size(), 2U) << row.name;
    const TakeAllResult taken = gw->TakeAll();
    EXPECT_EQ(taken.parts, 2) << row.name;
    const std::string listed = "AT+CMGL=4\r" + Deletions(at);
    EXPECT_EQ(Wire(), row.memory == "ME"
                          ? "AT+CPMS=\"ME\"\r" + listed +
                                "AT+CPMS=\"SR\"\rAT+CMGL=4\rAT+CPMS=\"SM\"\rAT+CMGL=4\r"
                          : "AT+CPMS=\"SR\"\rAT+CMGL=4\rAT+CPMS=\"SM\"\r" + listed)
        << row.name;
    EXPECT_TRUE(sim->Messages(row.memory).empty()) << row.name;
    ASSERT_EQ(gw->Store().NewMessages().size(), 1U) << row.name;
    EXPECT_EQ(gw->Store().NewMessages()[0].Text(), std::string(170, 'm')) << row.name;
    gw.reset();
    std::filesystem::remove(Db());
  }
}

TEST_F(Session, AMemoryANoticeNamesIsSweptToo) {
  Start();
  // A modem that did not say where it keeps messages at the start, then announces one.
  sim->Set("storage", {"ME"});
  sim->StoreMessage({.text = "from ME"});
  sim->Send("\r\n+CMTI: \"ME\",1\r\n");
  ASSERT_TRUE(sim->WaitSent("+CMTI", std::chrono::seconds(5)));
  const TakeAllResult taken = gw->TakeAll();
  EXPECT_EQ(taken.parts, 1);
  EXPECT_TRUE(Wire().starts_with("AT+CPMS=\"ME\"\rAT+CMGL=4\rAT+CMGD=1\r"));
}

TEST_F(Session, WaitReportsTakesTheReportsAsTheyAreAnnounced) {
  Start();
  const store::SendOutcome out = gw->Send({.number = "+447700900001", .text = "hello"});
  const auto record = gw->WaitReports(out.id, std::chrono::seconds(30));
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->state, store::DeliveryState::Delivered);
  EXPECT_FALSE(gw->WaitReports(out.id + 1, std::chrono::seconds(1)).has_value());
}

}  // namespace session_test
}  // namespace selvarn
