// The modem session over the simulator: opening by device or port, the planner, sends with
// and without a report request, taking everything a modem holds in one pass, with the
// commands on the wire counted, and signal and registration as modems give them.
#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gateway/radio.hpp"
#include "modemsim/settings.hpp"
#include "platform/port_host.hpp"
#include "selvarn/gateway.hpp"
#include "support/errors.hpp"
#include "support/files.hpp"
#include "support/sim_port.hpp"

namespace selvarn {
namespace session_test {

// Qualified: a fixture of this folder's other tests is also called Gateway.
using ModemSession = ::selvarn::Gateway;
using modemsim::IncomingMessage;
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
    gw =
        std::make_unique<ModemSession>(GatewayOptions{.device = sim->device_path(), .store = Db()});
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
  std::unique_ptr<ModemSession> gw;
};

std::string Deletions(const std::vector<int>& indexes) {
  std::string out;
  for (const int i : indexes) out += "AT+CMGD=" + std::to_string(i) + "\r";
  return out;
}

std::string Times(const std::string& text, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += text;
  return out;
}

TEST_F(Session, OpensByDevicePathOrPortWithTheSameStartUpAndNamesAMissingDevice) {
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
    ModemSession session(row.options);
    ASSERT_EQ(session.Open(), ModemStatus::OK) << row.name << ": " << session.LastStart().detail;
    EXPECT_TRUE(session.IsOpen()) << row.name;
    EXPECT_EQ(session.LastStart().device, sim->device_path()) << row.name;
    EXPECT_EQ(Wire(), start_up + kAfterStart) << row.name;
    session.Close();
    EXPECT_FALSE(session.IsOpen()) << row.name;
    // The device chosen for the session is no detour for the thread's next start-up.
    EXPECT_EQ(platform::ThreadPort().port.DevicePath(), "") << row.name;
  }
  ModemSession missing({.device = dir.path + "/ttyNone", .store = Db()});
  EXPECT_EQ(missing.Open(), ModemStatus::Fail);
  EXPECT_EQ(missing.LastStart().reason, StartReason::NoDevice);
  EXPECT_EQ(missing.LastStart().device, dir.path + "/ttyNone");
  EXPECT_EQ(testing::ErrorNumberOf([&] { missing.TakeAll(); }), err::kDeviceNotOpen);
  EXPECT_EQ(testing::ErrorNumberOf([&] { missing.Send({.number = kOwn, .text = "x"}); }),
            err::kDeviceNotOpen);
}

TEST(GatewayPlan, FollowsTheSends) {
  const std::string euro = "\xE2\x82\xAC";       // in the extension table: two septets
  const std::string zhe = "\xD0\xB6";            // Cyrillic: UCS2
  const std::string emoji = "\xF0\x9F\x98\x80";  // a surrogate pair
  using enum SendCoding;
  struct Row {
    std::string text;
    SendCoding asked, coding;
    std::vector<int> lengths;
    int unmapped = 0;
  } rows[] = {
      {Times("x", 160), Auto, Gsm7, {160}},
      {Times("x", 161), Auto, Gsm7, {153, 8}},
      {Times("x", 152) + euro + Times("y", 10), Auto, Gsm7, {152, 12}},  // escape pair whole
      {euro + "a", Auto, Gsm7, {3}},
      {Times(zhe, 70), Auto, Ucs2, {70}},
      {Times(zhe, 71), Auto, Ucs2, {67, 4}},
      {Times("a", 66) + emoji, Ucs2, Ucs2, {68}},
      {Times("a", 66) + emoji + "aaa", Ucs2, Ucs2, {66, 5}},  // the pair moves whole
      {"a" + zhe + emoji, Gsm7, Gsm7, {3}, 2},
      {"abc", Ucs2, Ucs2, {3}},
  };
  for (const Row& row : rows) {
    const TextPlan plan = Plan(row.text, row.asked);
    EXPECT_EQ(plan.coding, row.coding) << row.text;
    EXPECT_EQ(plan.lengths, row.lengths) << row.text;
    EXPECT_EQ(plan.concatenated, row.lengths.size() > 1) << row.text;
    EXPECT_EQ(plan.unmapped, row.unmapped) << row.text;
  }
  EXPECT_EQ(testing::ErrorNumberOf([] { Plan(""); }), err::kInvalidCall);
  EXPECT_EQ(testing::ErrorNumberOf([] { Plan(std::string(std::size_t{153} * 256, 'x')); }),
            err::kOverflow);
}

TEST_F(Session, SendsFollowTheirReportChoiceAndTakeTheStoresNextReference) {
  Start();
  const std::string hi =
      "000C914477000910320000"
      "02E834";  // "hi" to kOwn after TP-MR
  struct Row {
    std::string text;
    bool report;
    int reference;
    bool restart;                      // a new session on the same store first
    std::string first_octet, element;  // element: the concatenation reference
  } rows[] = {
      {"hi", true, -1, false, "21", ""},
      {"hi", false, -1, false, "01", ""},
      {Times("x", 200), true, -1, false, "61", "03"},  // the next record's id
      {Times("x", 200), false, 200, false, "41", "C8"},
      {Times("x", 200), true, -1, true, "61", "05"},
  };
  for (const Row& row : rows) {
    if (row.restart) {
      gw = std::make_unique<ModemSession>(
          GatewayOptions{.device = sim->device_path(), .store = Db()});
      ASSERT_EQ(gw->Open(), ModemStatus::OK);
      Wire();
    }
    std::vector<int> progress;
    const store::SendOutcome out = gw->Send(
        {.number = kOwn, .text = row.text, .report = row.report, .reference = row.reference},
        [&](int taken, int total) { progress.push_back(taken * 10 + total); });
    const std::string wire = Wire();
    if (row.element.empty()) {
      EXPECT_EQ(wire, "AT+CMGS=15\r\r00" + row.first_octet + hi + "\x1a\r");
    } else {
      EXPECT_NE(wire.find("\r00" + row.first_octet + "00"), std::string::npos) << wire;
      EXPECT_NE(wire.find("050003" + row.element + "0201"), std::string::npos) << wire;
    }
    ASSERT_TRUE(out.record.has_value());
    EXPECT_EQ(out.record->send_state, store::SendState::Sent);
    EXPECT_EQ(progress, (row.element.empty() ? std::vector<int>{11} : std::vector<int>{12, 22}));
  }
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
  // Messages written or sent from the SIM are its owner's, not received ones.
  const std::string submit = "0001000C91447700091032000002E834";
  const std::vector<int> outgoing = {sim->StorePdu("SM", submit, MessageStatus::StoredSent),
                                     sim->StorePdu("SM", submit, MessageStatus::StoredUnsent)};
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
  std::vector<int> left;
  for (const modemsim::StoredMessage& m : sim->Messages("SM")) left.push_back(m.index);
  EXPECT_EQ(left, outgoing);
}

TEST_F(Session, TakesFromTheStorageTheModemKeepsMessagesIn) {
  struct Row {
    const char* name;
    std::vector<std::string> profiles;
    std::string memory;      // where the messages are
    bool announced = false;  // only a notice names it: AT+CPMS? did not at the start
  } rows[] = {
      {"ME", {"me-storage"}, "ME"},
      {"numbered from 0", {"zero-index"}, "SM"},
      {"both", {"me-storage", "zero-index"}, "ME"},
      {"ME, announced", {}, "ME", true},
  };
  for (const Row& row : rows) {
    Start(row.profiles);
    if (row.announced) {
      sim->Set("storage", {"ME"});
      sim->Send("\r\n+CMTI: \"ME\",1\r\n");
      ASSERT_TRUE(sim->WaitSent("+CMTI", std::chrono::seconds(5)));
    }
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

TEST_F(Session, WaitReportsEndsAtTheFinalReportOrTheLimit) {
  struct Row {
    const char* recipient;
    const char* outcome;
    store::DeliveryState state;
    bool limit;  // waited the whole limit
  } rows[] = {
      {"+447700900001", "delivered", store::DeliveryState::Delivered, false},
      {"+447700900002", "failed", store::DeliveryState::Failed, false},
      {"+447700900003", "deferred", store::DeliveryState::Pending, true},
  };
  Start();
  sim->Set("network-delay", {"20"});
  clock.real_sleep = std::chrono::milliseconds(2);  // the report comes within 1 s of fake time
  for (const Row& row : rows) {
    sim->Set("outcome", {row.recipient, row.outcome});
    const store::SendOutcome out = gw->Send({.number = row.recipient, .text = "hello"});
    const std::int64_t start = clock.NowMs();
    const auto record = gw->WaitReports(out.id, std::chrono::seconds(20));
    const std::int64_t waited = clock.NowMs() - start;
    ASSERT_TRUE(record.has_value()) << row.recipient;
    EXPECT_EQ(record->state, row.state) << row.recipient;
    // Taken as announced, not at the next look five seconds on; and no busier than a look
    // each five seconds and one for the notice.
    EXPECT_EQ(waited >= 20000, row.limit) << row.recipient << ": " << waited;
    EXPECT_TRUE(row.limit || waited < 5000) << row.recipient << ": " << waited;
    const std::string wire = Wire();
    std::size_t looks = 0;
    for (auto at = wire.find("AT+CPMS=\"SR\""); at != std::string::npos;
         at = wire.find("AT+CPMS=\"SR\"", at + 1))
      ++looks;
    EXPECT_LE(looks, row.limit ? 6U : 2U) << row.recipient;
  }
  EXPECT_FALSE(gw->WaitReports(99, std::chrono::seconds(1)).has_value());
}

TEST_F(Session, TakeAllWhenTheModemBalks) {
  const modemsim::Fault error{.literal = "\r\nERROR\r\n", .count = 1};
  const modemsim::Fault refused{.literal = "\r\n+CMS ERROR: 321\r\n", .count = 1};
  struct Row {
    std::string prefix;  // of the command that fails
    modemsim::Fault fault;
    std::string outcome;  // taken, stored, left on the modem, selected afterwards
  } rows[] = {
      // Reports listed in text mode only: read one by one.
      {"AT+CMGL=4", error, "1 1 0 stored 1 1 modem 0 0 SM"},
      {"AT+CPMS=\"SR\"", error, "1 0 0 stored 1 0 modem 0 1 SM"},
      {"AT+CMGD=1", refused, "1 1 1 stuck stored 1 1 modem 0 1 SM"},
      {"AT+CPMS=\"SM\"", error, "0 1 0 unlisted stored 0 1 modem 1 0 SR"},
      // A listing that never ends: an error of the link, and "SM" selected again.
      {"AT+CMGL=4", {.silent = true, .count = 1}, "error 57 stored 0 0 modem 1 1 SM"},
  };
  for (const Row& row : rows) {
    Start();
    sim->StoreMessage({.text = "waiting"});
    sim->StoreReport({.reference = 3, .status = 0});
    sim->SetFault(row.prefix, row.fault);
    TakeAllResult t;
    const int error = testing::ErrorNumberOf([&] { t = gw->TakeAll(); });
    const modemsim::ModemState m = sim->State();
    // Stored before deleted: whatever went from the modem is in the store.
    EXPECT_EQ((error != 0 ? "error " + std::to_string(error)
                          : std::to_string(t.parts) + " " + std::to_string(t.reports) + " " +
                                std::to_string(t.left) + (t.stuck ? " stuck" : "") +
                                (t.unlisted ? " unlisted" : "")) +
                  " stored " + std::to_string(gw->Store().Inbox().size()) + " " +
                  std::to_string(gw->Store().Reports().size()) + " modem " +
                  std::to_string(m.sm.size()) + " " + std::to_string(m.sr.size()) + " " + m.mem1,
              row.outcome)
        << row.prefix;
    EXPECT_EQ(m.cmgf, 0) << row.prefix;
    gw.reset();
    std::filesystem::remove(Db());
  }
}

TEST_F(Session, MessagesAndReportsHandedOverInNoticesAreStored) {
  Start();
  modemsim::ModemState state = sim->State();
  const std::string message = modemsim::MessagePdus(state, {.text = "not stored"})[0];
  const std::string report = modemsim::ReportPdu(state, {.reference = 9, .status = 0});
  const auto octets = [](const std::string& pdu) {
    return std::to_string(pdu.size() / 2 - 1 - std::stoul(pdu.substr(0, 2), nullptr, 16));
  };
  sim->Send("\r\n+CMT: ," + octets(message) + "\r\n" + message + "\r\n+CDS: " + octets(report) +
            "\r\n" + report + "\r\n");
  ASSERT_TRUE(sim->WaitSent(report + "\r\n", std::chrono::seconds(5)));
  gw->TakeAll();
  ASSERT_EQ(gw->Store().NewMessages().size(), 1U);
  EXPECT_EQ(gw->Store().NewMessages()[0].Text(), "not stored");
  ASSERT_EQ(gw->Store().Reports().size(), 1U);
  EXPECT_EQ(gw->Store().Reports()[0].report.reference, 9);
}

TEST(RadioAnswers, SignalAndRegistration) {
  const std::pair<const char*, std::optional<int>> signals[] = {
      {"\r\n+CSQ: 17,99\r\n\r\nOK\r\n", 17},
      {"AT+CSQ\r\r\n+CSQ: 31,0\r\n\r\nOK\r\n", 31},     // echoed
      {"\r\n+CSQ:0,99\r\n\r\nOK\r\n", 0},               // no space
      {"\r\n+CSQ: 99,99\r\n\r\nOK\r\n", std::nullopt},  // not known
      {"\r\n+CSQ: 32,99\r\n\r\nOK\r\n", std::nullopt},  // out of range
      {"\r\n+CSQ: ,\r\n\r\nOK\r\n", std::nullopt},
      {"\r\nERROR\r\n", std::nullopt},
      {"AT+CSQ\r\r\nOK\r\n", std::nullopt},
  };
  for (const auto& [reply, expected] : signals)
    EXPECT_EQ(gateway::SignalOf(reply), expected) << reply;
  const std::pair<const char*, const char*> registrations[] = {
      {"\r\n+CREG: 0,1\r\n\r\nOK\r\n", "home"},
      {"\r\n+CREG: 2,5,\"1A2B\",\"01C3D4E5\",7\r\n\r\nOK\r\n", "roaming"},
      {"\r\n+CREG: 1,2\r\n\r\nOK\r\n", "searching"},
      {"\r\n+CREG: 0,3\r\n\r\nOK\r\n", "denied"},
      {"\r\n+CREG: 0,0\r\n\r\nOK\r\n", "none"},
      {"\r\n+CREG: 0,4\r\n\r\nOK\r\n", "unknown"},
      {"\r\n+CREG: 0,6\r\n\r\nOK\r\n", "home"},      // SMS only
      {"\r\n+CREG: 0,10\r\n\r\nOK\r\n", "roaming"},  // CSFB not preferred
      {"\r\n+CREG: 0,8\r\n\r\nOK\r\n", "unknown"},   // emergency calls only
      {"\r\n+CREG:1,5\r\n\r\nOK\r\n", "roaming"},    // no space
      // The unsolicited form in place of the answer: the state comes first.
      {"\r\n+CREG: 5,\"1A2B\",\"01C3D4E5\"\r\n\r\nOK\r\n", "roaming"},
      {"\r\n+CREG: 1\r\n\r\nOK\r\n", "home"},
      {"\r\n+CREG: 0,x\r\n\r\nOK\r\n", "unknown"},
      {"\r\nERROR\r\n", "unknown"},
  };
  for (const auto& [reply, expected] : registrations) {
    EXPECT_EQ(gateway::RegistrationOf(reply), expected) << reply;
  }
}

// Asked of the simulated modem: what it says, and a modem that stays silent, which is closed.
TEST_F(Session, RadioIsAskedOnTheWire) {
  Start();
  struct Case {
    int rssi, mode, stat;
    std::optional<int> signal;
    const char* registration;
  } const cases[] = {
      {17, 0, 1, 17, "home"}, {99, 2, 5, std::nullopt, "roaming"}, {3, 0, 2, 3, "searching"}};
  for (const Case& c : cases) {
    sim->SetSignal(c.rssi);
    sim->SetRegistration(c.mode, c.stat);
    const RadioState radio = gw->Radio();
    EXPECT_EQ(radio.signal, c.signal) << c.rssi;
    EXPECT_EQ(radio.registration, c.registration) << c.stat;
    EXPECT_EQ(Wire(), "AT+CSQ\rAT+CREG?\r");
  }
  sim->SetFault("AT+CSQ", {.silent = true});
  const RadioState silent = gw->Radio();
  EXPECT_EQ(silent.signal, std::nullopt);
  EXPECT_EQ(silent.registration, "unknown");
  EXPECT_FALSE(gw->IsOpen());
  EXPECT_EQ(gw->Radio().registration, "unknown") << "closed: nothing asked";
}

}  // namespace session_test
}  // namespace selvarn
