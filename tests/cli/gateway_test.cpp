// The commands over the message store against the built-in simulator: sends waiting for
// their reports, whole messages read across runs, a store that cannot be used, listings.
#include <nlohmann/json.hpp>

#include "cli_support.hpp"
#include "gateway.hpp"
#include "modemsim/simulator.hpp"

namespace selvarn::testing {
namespace {

using nlohmann::json;

class Gateway : public CommandLine {
 protected:
  Outcome With(std::vector<std::string> args) {
    args.insert(args.begin(), {"--store", db});
    return Run(args);
  }
  std::string db = ports.path() + "/messages.db";
};

TEST_F(Gateway, SendWaitsForTheReportsOfEveryPart) {
  const struct {
    std::string outcome, text, wait;
    int code;
    std::string state;
  } cases[] = {
      {"delivered", std::string(200, 'z'), "--wait-report=10", 0, "delivered"},
      {"failed", "Hi", "--wait-report=10", 1, "failed"},
      {"deferred", "Hi", "--wait-report=1", cli::kTimedOut, "pending"},
  };
  for (const auto& c : cases) {
    // A store each: a new simulator numbers from 1 again.
    db = ports.path() + "/" + c.outcome + ".db";
    const Outcome o = With({"--sim", "--json", "--do", "set outcome * " + c.outcome, "send", c.wait,
                            "+447700900999", c.text});
    EXPECT_EQ(o.code, c.code) << c.outcome << o.err;
    const auto lines = Lines(o.out);
    ASSERT_FALSE(lines.empty());
    const json first = json::parse(lines.front());
    const json last = json::parse(lines.back());
    EXPECT_EQ(last["state"], c.state) << c.outcome;
    // One report line per part (a "still trying" one too), between the send and the end.
    const std::size_t parts = first["references"].size();
    // The "still trying" one may come after the wait on the test's fast clock.
    if (c.code == cli::kTimedOut) {
      EXPECT_LE(lines.size(), 2 + parts) << o.out;
    } else {
      EXPECT_EQ(lines.size(), 2 + parts) << o.out;
    }
    const json box = json::parse(Lines(With({"--json", "outbox"}).out).back());
    EXPECT_EQ(box["state"], c.state);
  }
}

TEST_F(Gateway, ALongMessageIsPrintedOnceWhenItsLastPartIsIn) {
  const std::string text(200, 'q');
  const std::string from = "at 0 message from +447700900001 order ";
  EXPECT_EQ(With({"--sim", "--do", from + "2 text " + text, "read", "--all"}).out, "no message\n");
  const Outcome o = With({"--sim", "--json", "--do", from + "2,1 text " + text, "read", "--all"});
  EXPECT_EQ(o.code, 0) << o.err;
  ASSERT_EQ(Lines(o.out).size(), 1u) << o.out;
  const json j = json::parse(o.out);
  EXPECT_EQ(j["text"], text);
  EXPECT_EQ(j["parts"], 2);
  // Stored once, duplicate part and all; listed since a time.
  EXPECT_EQ(Lines(With({"inbox", "--since", "1h"}).out).size(), 6u);
  EXPECT_EQ(With({"inbox", "--since", "2999-01-01"}).out, "no message\n");
}

// A modem that goes away, or a listing that never ends, is a run-time error (exit 3), never
// "no message" or "not sent"; the modem going away ends the wait for it at once, for the
// library's calls that trap errors too (a start-up says so as its reason).
TEST_F(Gateway, AModemThatGoesAwayOrAListingThatNeverEndsIsAnError) {
  const struct {
    std::vector<std::string> args;
    const char* silent_on;  // the modem goes away once this has reached it
    bool goes_away = true;  // else it stays, and its listing never ends
  } cases[] = {
      {{"read", "--all"}, "AT+CMGL"}, {{"read"}, "AT+CMGL"},
      {{"send", "1", "Hi"}, "00"},    {{"report"}, "AT+CMGF=1"},
      {{"network"}, "AT+CREG?"},      {{"init"}, "AT+CSQ"},
      {{"init"}, "AT+CPIN?"},         {{"read", "--all"}, "AT+CMGL", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    auto sim =
        std::make_unique<modemsim::Simulator>(modemsim::Options{.port_folder = ports.path()});
    sim->SetFault(c.silent_on, {.silent = true});
    const std::string why =
        c.goes_away ? "The modem on " + sim->device_path() + " went away"  // as the user named it
                    : "Device I/O error: the modem did not finish AT+CMGL=4 within 60 s";
    std::int64_t gone = -1;
    clock.on_sleep = [&](std::int64_t now) {
      if (c.goes_away && sim && sim->Received().find(c.silent_on) != std::string::npos) {
        sim.reset();
        gone = now;
      }
    };
    std::vector<std::string> args = {"--device", sim->device_path()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome o = With(args);
    clock.on_sleep = nullptr;
    if (c.args[0] == "init") {
      EXPECT_EQ(o.code, 1);
      EXPECT_TRUE(o.out.ends_with(": " + why + "\n")) << o.out;  // the reason, whatever the status
    } else {
      // A part written before the modem went away may have gone: said so, and not called a
      // failure that a script would send again.
      const bool part_out = c.args[0] == "send";
      EXPECT_EQ(o.code, part_out ? 5 : 3);
      EXPECT_EQ(
          o.out + o.err,
          (part_out ? "may have been sent as message 1 (7bit): part 1 uncertain (error 8010: " +
                          why + "); see the outbox, and the recipient, before sending it again\n"
                    : "") +
              std::string("selvarn-sms: error ") + (c.goes_away ? "8010: " : "57: ") + why + "\n");
    }
    EXPECT_EQ(clock.NowMs() == gone, c.goes_away) << "no time passed after it went away";
  }
}

TEST(Since, AgesAndDateTimes) {
  const std::int64_t now = 1'714'555'800;  // 2024-05-01T09:30:00Z
  const std::pair<const char*, std::int64_t> ages[] = {
      {"90s", 90},
      {"45", 45},
      {"15m", 900},
      {"2h", 7200},
      {"3d", 3 * 86400},
      {"2024-05-01T09:30Z", 0},
      {"2024-05-01 09:30:15Z", -15},
      {"2024-05-01Z", 9 * 3600 + 1800},
      {"2024-02-29T09:30Z", 62 * 86400},
  };
  for (const auto& [text, ago] : ages) EXPECT_EQ(cli::ParseSince(text, now), now - ago) << text;
  // Local time in a zone whose clocks skip 01:00-02:00 on 2024-03-31.
  const char* zone = std::getenv("TZ");
  const std::string saved = zone != nullptr ? zone : "";
  setenv("TZ", "GMT0BST,M3.5.0/1,M10.5.0", 1);
  tzset();
  for (const std::string bad :
       {"", "2w", "h", "yesterday", "2024-13-01", "2024-05-01T25:00", "1234567890d", "1999-02-30",
        "2023-02-29Z", "2024-04-31T10:00", "2024-05-01T12:00:60Z", "2024-03-31T01:30"}) {
    EXPECT_THROW(cli::ParseSince(bad, now), cli::UsageError) << bad;
  }
  EXPECT_EQ(cli::ParseSince("2024-03-31T02:30", now), cli::ParseSince("2024-03-31T01:30Z", now));
  EXPECT_EQ(cli::ParseSince("2024-03-31", now), cli::ParseSince("2024-03-31Z", now));
  zone != nullptr ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
  tzset();
}

}  // namespace
}  // namespace selvarn::testing
