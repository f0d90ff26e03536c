// The gateway commands against a hostile modem: answers lost, garbled or refused, a store
// or log that fails half way, entries that cannot be decoded, listings full of junk. For
// each, what the store holds afterwards (sent messages and their parts, quarantined
// entries), what is left on the SIM, and that every part the modem took has a record.
#include <sqlite3.h>

#include <cerrno>
#include <functional>

#include "cli_support.hpp"
#include "modemsim/scenario.hpp"
#include "modemsim/simulator.hpp"
#include "platform/system_calls.hpp"
#include "store/message_store.hpp"

namespace selvarn::testing {
namespace {

namespace sim = selvarn::modemsim;

const std::string kHello = "message from +447700900001 time 24/05/01,09:30:00+04 text Hello";
// Compressed text (TP-DCS 24), which no decoder of ours reads.
const std::string kBad = "message pdu 00040B914477000900F100244210509003004005C8329BFD06";
const std::string kReportAt = R"(\r\n+CMGR: "REC UNREAD",6,)";
const std::string kReportTail =
    R"(,"+447700900999",145,"24/05/01,09:30:00+04","24/05/01,09:30:05+04",)";

// Writes that fail: 'l' the log's second, as on a full disk; 'p' the port's at the end
// of a PDU, as when the modem goes away while a part goes out.
class FailingWrites : public platform::SystemCalls {
 public:
  explicit FailingWrites(char which) : which_(which) {}
  int Open(const char* path, int flags, mode_t mode) override {
    const int fd = platform::SystemCalls::Open(path, flags, mode);
    if (std::string_view(path).find("Log_") != std::string_view::npos) log_fd_ = fd;
    return fd;
  }
  ssize_t Write(int fd, const void* bytes, std::size_t size) override {
    if (which_ == 'l' && fd == log_fd_ && ++log_writes_ == 2) {
      errno = ENOSPC;
      return -1;
    }
    if (which_ == 'p' && std::string_view(static_cast<const char*>(bytes), size).find('\x1a') !=
                             std::string_view::npos) {
      errno = EIO;
      return -1;
    }
    return platform::SystemCalls::Write(fd, bytes, size);
  }

 private:
  char which_;
  int log_fd_ = -1;
  int log_writes_ = 0;
};

std::string Joined(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& w : words) out += (out.empty() ? "" : " ") + w;
  return out;
}

std::string Indexes(const std::string& memory, int from, int to) {
  std::vector<std::string> words;
  for (int i = from; i <= to; ++i) words.push_back(memory + std::to_string(i));
  return Joined(words);
}

struct Hostile {  // NOLINT(clang-analyzer-optin.performance.Padding): a table row
  std::string name;
  std::vector<std::string> scenario;  // {PDU}: the PDU of the SIM's entry 1; {JUNK}, {LONG}
  std::vector<std::string> command;
  int code;
  std::string sent;         // each message: its state, then each part's, with its reference
  std::string quarantined;  // memory and index of each entry
  std::string left;         // on the SIM
  std::vector<std::string> said = {};  // pieces of what the command printed
  std::string sql = "";                // run on the store before the command
  char fails = 0;                      // see FailingWrites
};

class HostileModem : public CommandLine {};

TEST_F(HostileModem, LosesNothingSentOrReceived) {
  const std::string long_text(400, 'a');
  // The report storage is listed first, as it is (empty); the SIM's listing after it is
  // the one that goes wrong.
  const std::string reports = R"(fault AT+CMGL=4 count 1 literal \r\nOK\r\n)";
  const std::string sim_listing = R"(fault AT+CMGL count 1 literal \r\n)";
  std::vector<std::string> large = {"set capacity 130"};
  for (int i = 0; i < 120; ++i) large.push_back(kBad);
  large.push_back(kHello);
  // clang-format off
  const Hostile cases[] = {
      {"answer without +CMGS", {R"(fault 00 runs literal \r\nOK\r\n)"}, {"send", "123", "Hi"}, 0,
       "sent sent/?", "", "", {"message reference ?"}},
      {"part 2 of 3 refused", {R"(fault 006100038121F30000A00500034D0302 literal \r\n+CMS ERROR: 500\r\n)"},
       {"send", "--ref", "77", "123", long_text}, 1, "partly-sent sent/1 refused not-sent", "",
       "", {"part 3 not-sent (+CMS ERROR: 500)"}},
      {"no answer in time", {"fault 00 silent runs"}, {"send", "123", "Hi"}, 5,
       "uncertain uncertain", "", "SR1", {"may have been sent as message 1"}},
      {"store fails after opening", {}, {"send", "123", "Hi"}, 3, "", "", "", {"database or disk is full"},
       "CREATE TRIGGER full BEFORE INSERT ON sent BEGIN SELECT RAISE(ABORT, 'database or disk is full'); END"},
      {"log fails at part 2", {}, {"send", "123", long_text}, 3,
       "partly-sent sent/1 not-sent not-sent", "", "", {"error 75:", "part 1 sent (reference 1)"}, "", 'l'},
      {"port fails as a part goes out", {}, {"send", "123", "Hi"}, 5, "uncertain uncertain", "",
       "", {"may have been sent"}, "", 'p'},
      {"report status 00", {"set outcome * delivered", "report ref 200 status 0",
       "fault AT+CMGR=\"1\" count 1 literal " + kReportAt + "200" + kReportTail + R"(00\r\n\r\nOK\r\n)"},
       {"send", "--wait-report=10", "+447700900999", "Hi"}, 0, "sent sent/1", "", "", {"report: reference 200"}},
      {"report that cannot be read", {"set network-delay 500", "report pdu 0006C80B91"},
       {"send", "--wait-report=60", "+447700900999", "Hi"}, 0, "sent sent/1", "SR1", "",
       {"report: reference 1", "kept 1 undecodable entry(ies) in the quarantine"}},
      {"listing refused", {kHello, R"(fault AT+CMGL literal \r\nERROR\r\n)"}, {"read", "--all"}, 1,
       "", "", "SM1", {"the modem did not list the messages"}},
      {"large SIM of undecodable entries", large, {"read", "--all"}, 0, "",
       Indexes("SM", 1, 120), "", {"Text:   Hello"}},
      {"glitch in the listing", {kHello, reports, sim_listing + R"(+CMGL: 1,1,,23\r\n+CMTI: "SM",2\r\n{PDU}\r\n\r\nOK\r\n)"},
       {"read"}, 0, "", "", "", {"Text:   Hello"}},
      // Printed, since it is stored, but the exit status says the modem kept it.
      {"deletion refused", {kHello, R"(fault AT+CMGD= literal \r\nERROR\r\n)"}, {"read"}, 1, "", "", "SM1",
       {"Text:   Hello", "did not delete a stored message"}},
      {"40 KB of junk first", {kHello, reports, sim_listing + R"({JUNK}\r\nJunk\r\n+CMGL: 1,1,,23\r\n{PDU}\r\n\r\nOK\r\n)"},
       {"read", "--all"}, 0, "", "", "", {"SM: passed over a line of 40960 characters that belongs to no entry",
       "SM: passed over 1 line(s) that belong to no entry"}},
      {"indexes out of range", {kHello, reports, sim_listing + R"(+CMGL: -5,1,,23\r\n{PDU}\r\n+CMGL: 99999,1,,23\r\n{PDU}\r\n+CMGL: abc,1,,23\r\n{PDU}\r\n+CMGL: 1,1,,23\r\n{PDU}\r\n\r\nOK\r\n)"},
       {"read", "--all"}, 0, "", "", "", {"an entry with index \"99999\", not a number 0-30"}},
      {"100 KB PDU line", {kHello, kBad, R"(fault AT+CMGL=4 count 2 literal \r\n+CMGL: 2,1,,23\r\n{LONG}\r\n\r\nOK\r\n)"},
       {"read", "--all"}, 0, "", "SM2", "", {"a PDU line of 102400 characters"}},
  };
  // clang-format on
  for (const Hostile& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string db = ports.path() + "/" + std::to_string(&c - cases) + ".db";
    if (!c.sql.empty()) {
      { const store::MessageStore created(db); }
      sqlite3* raw = nullptr;
      sqlite3_open(db.c_str(), &raw);
      ASSERT_EQ(sqlite3_exec(raw, c.sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
      sqlite3_close(raw);
    }
    sim::Simulator modem({.port_folder = ports.path()});
    sim::Scenario scenario(modem);
    for (std::string line : c.scenario) {
      for (const auto& [key, value] :
           {std::pair<std::string, std::string>{"{JUNK}", std::string(40960, 'J')},
            {"{LONG}", std::string(102400, 'A')},
            {"{PDU}", modem.Messages("SM").empty() ? "" : modem.Messages("SM").front().pdu}}) {
        if (const auto at = line.find(key); at != std::string::npos)
          line.replace(at, key.size(), value);
      }
      scenario.Apply(line);
    }
    FailingWrites failing(c.fails);
    std::optional<platform::SystemCallsGuard> fails;
    if (c.fails != 0) fails.emplace(failing);
    std::vector<std::string> args = {"--port", std::to_string(modem.port()), "--store", db};
    args.insert(args.end(), c.command.begin(), c.command.end());
    const Outcome o = Run(args);
    fails.reset();
    EXPECT_EQ(o.code, c.code) << o.out << o.err;
    for (const std::string& piece : c.said) {
      EXPECT_NE((o.out + o.err).find(piece), std::string::npos) << piece << "\n" << o.out << o.err;
    }

    store::MessageStore s(db);
    std::vector<std::string> sent;
    std::size_t taken = 0, went = 0;  // parts that went, and that may have gone
    for (const store::SentRecord& m : s.Outbox()) {
      sent.push_back(store::ToString(m.send_state));
      for (const store::SentPart& p : m.parts) {
        const bool went_out = p.send == store::PartSend::Taken;
        sent.push_back(
            std::string(store::ToString(p.send)) +
            (went_out ? "/" + (p.reference < 0 ? "?" : std::to_string(p.reference)) : ""));
        taken += went_out ? 1 : 0;
        went += went_out || p.send == store::PartSend::Uncertain ? 1 : 0;
        // A report for any part that went finds it, whatever became of the others.
        if (went_out && p.reference >= 0 && c.sent.find("partly") != std::string::npos) {
          EXPECT_EQ(s.StoreReport({p.reference, m.recipient, "t", "d", 0}).sent_id, m.id);
        }
      }
    }
    EXPECT_EQ(Joined(sent), c.sent);
    // The outbox shows the same, whatever the state.
    std::vector<std::string> shown;
    for (const std::string& line : Lines(Run({"--store", db, "--json", "outbox"}).out)) {
      const auto j = nlohmann::json::parse(line);
      if (!j.contains("send_state")) continue;
      shown.push_back(j["send_state"]);
      for (const auto& p : j["parts"]) {
        const auto ref = p.find("reference");
        shown.push_back(p["send"].get<std::string>() +
                        (ref == p.end()   ? ""
                         : ref->is_null() ? "/?"
                                          : "/" + std::to_string(ref->get<int>())));
      }
    }
    EXPECT_EQ(Joined(shown), c.sent);
    // Every part the modem took is recorded, and none is called sent that it did not take.
    EXPECT_LE(taken, modem.State().submitted.size());
    EXPECT_GE(went, modem.State().submitted.size());
    std::vector<std::string> kept;
    for (const store::QuarantinedEntry& q : s.Quarantined()) {
      kept.push_back(q.memory + (q.sim_index ? std::to_string(*q.sim_index) : "?"));
      EXPECT_FALSE(q.raw.empty() || q.error.empty());
    }
    EXPECT_EQ(Joined(kept), c.quarantined);
    std::vector<std::string> left;
    for (const char* memory : {"SM", "SR"}) {
      for (const sim::StoredMessage& m : modem.Messages(memory)) {
        left.push_back(memory + std::to_string(m.index));
      }
    }
    EXPECT_EQ(Joined(left), c.left);
  }
}

}  // namespace
}  // namespace selvarn::testing
