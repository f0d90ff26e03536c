// The commands over the message store against the built-in simulator: sends waiting for
// their reports, whole messages read across runs, a store that cannot be used, listings.
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>

#include "cli_support.hpp"
#include "gateway.hpp"

namespace selvarn::testing {
namespace {

using nlohmann::json;

class Gateway : public CommandLine {
 protected:
  Gateway() {
    char tmpl[] = "/tmp/selvarn-gateway-XXXXXX";
    if (mkdtemp(tmpl) != nullptr) dir = tmpl;
    db = dir + "/messages.db";
  }
  ~Gateway() override {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  Outcome With(std::vector<std::string> args) {
    args.insert(args.begin(), {"--store", db});
    return Run(args);
  }
  std::string dir, db;
};

TEST_F(Gateway, SendWaitsForTheReportsOfEveryPart) {
  const struct {
    std::string outcome;
    std::string text;
    std::string wait;
    int code;
    std::string state;
  } cases[] = {
      {"delivered", "Hi", "--wait-report=10", 0, "delivered"},
      {"failed", "Hi", "--wait-report=10", 1, "failed"},
      {"delivered", std::string(200, 'z'), "--wait-report=10", 0, "delivered"},
      {"deferred", "Hi", "--wait-report=1", cli::kTimedOut, "pending"},
  };
  int run = 0;
  for (const auto& c : cases) {
    // A store each: a new simulator numbers from 1 again, and a report the same in every
    // field to one of an earlier case within the same second is taken as that one again.
    db = dir + "/send" + std::to_string(++run) + ".db";
    const Outcome o = With({"--sim", "--json", "--do", "set outcome * " + c.outcome, "send", c.wait,
                            "+447700900999", c.text});
    EXPECT_EQ(o.code, c.code) << c.outcome << o.err;
    const auto lines = Lines(o.out);
    ASSERT_FALSE(lines.empty());
    const json first = json::parse(lines.front());
    const json last = json::parse(lines.back());
    EXPECT_EQ(last["state"], c.state) << c.outcome;
    EXPECT_EQ(last["id"], first["id"]);
    // One report line per part (a "still trying" one too), between the send and the end.
    const std::size_t parts = first["references"].size();
    EXPECT_EQ(lines.size(), 2 + parts) << o.out;
    const json box = json::parse(Lines(With({"--json", "outbox"}).out).back());
    EXPECT_EQ(box["state"], c.state);
    EXPECT_EQ(box["parts"].size(), parts);
  }
}

TEST_F(Gateway, SendPicksTheCoding) {
  const struct {
    std::vector<std::string> flags;
    std::string text;
    std::string coding;
    std::size_t parts;
  } cases[] = {
      {{}, "Hello {}", "7bit", 1},
      {{}, "Привет", "unicode", 1},
      {{}, std::string(71, 'a') + "Ж", "unicode", 2},
      {{"--unicode"}, "Hello", "unicode", 1},
      {{"--7bit"}, "Привет", "7bit", 1},
      {{}, std::string(161, 'a'), "7bit", 2},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"--sim", "--json", "send"};
    args.insert(args.end(), c.flags.begin(), c.flags.end());
    args.insert(args.end(), {"+447700900999", c.text});
    const Outcome o = With(args);
    ASSERT_EQ(o.code, 0) << c.text << o.err;
    const json j = json::parse(Lines(o.out).back());
    EXPECT_EQ(j["coding"], c.coding) << c.text;
    EXPECT_EQ(j["references"].size(), c.parts) << c.text;
  }
}

TEST_F(Gateway, ALongMessageIsPrintedOnceWhenItsLastPartIsIn) {
  const std::string text(200, 'q');
  const std::string part2 = "at 0 message from +447700900001 order 2 text " + text;
  const std::string rest = "at 0 message from +447700900001 order 2,1 text " + text;
  Outcome o = With({"--sim", "--do", part2, "read", "--all"});
  EXPECT_EQ(o.code, 0) << o.err;
  EXPECT_EQ(o.out, "no message\n");
  o = With({"--sim", "--json", "--do", rest, "read", "--all"});
  EXPECT_EQ(o.code, 0) << o.err;
  ASSERT_EQ(Lines(o.out).size(), 1u) << o.out;
  const json j = json::parse(o.out);
  EXPECT_EQ(j["text"], text);
  EXPECT_EQ(j["parts"], 2);
  EXPECT_EQ(With({"--sim", "read"}).code, 1);
  // Stored once, duplicate part and all.
  EXPECT_EQ(Lines(With({"inbox"}).out).size(), 6u);
}

TEST_F(Gateway, AStoreThatCannotBeUsedLeavesTheMessagesOnTheSim) {
  std::ofstream(db) << "this is not a database, and no message goes in here";
  const std::string message = "message from +447700900001 text Keep me";
  const Outcome bad = With({"--sim", "--do", message, "read"});
  EXPECT_EQ(bad.code, 3);
  EXPECT_NE(bad.err.find(db), std::string::npos) << bad.err;
  EXPECT_EQ(bad.out, "");
  // Nothing was read: with a sound store the very same SIM gives the message.
  const std::string good = dir + "/good.db";
  const Outcome again = Run({"--store", good, "--sim", "--do", message, "read"});
  EXPECT_NE(again.out.find("Text:   Keep me"), std::string::npos);
  // Nor is anything sent that could not be recorded.
  const Outcome send = With({"--sim", "send", "+447700900999", "Hi"});
  EXPECT_EQ(send.code, 3);
  EXPECT_EQ(send.out, "");
}

TEST_F(Gateway, ListingsSinceATime) {
  ASSERT_EQ(With({"--sim", "send", "+447700900999", "first"}).code, 0);
  ASSERT_EQ(With({"--sim", "--do", "message from +447700900001 text Hello", "read"}).code, 0);
  const struct {
    std::string command, since;
    std::string expected;  // the first line's text, JSON
  } cases[] = {
      {"outbox", "1h", "first"},    {"outbox", "2000-01-01", "first"},
      {"inbox", "3d", "Hello"},     {"inbox", "2999-01-01T00:00Z", ""},
      {"outbox", "2999-01-01", ""},
  };
  for (const auto& c : cases) {
    const Outcome o = With({"--json", c.command, "--since", c.since});
    ASSERT_EQ(o.code, 0) << o.err;
    const json j = json::parse(Lines(o.out).front());
    if (c.expected.empty()) {
      EXPECT_EQ(j["found"], false) << c.command << " " << c.since;
    } else {
      EXPECT_EQ(j["text"], c.expected) << c.command << " " << c.since;
    }
  }
  EXPECT_EQ(With({"inbox", "--since", "yesterday"}).code, 2);
}

TEST(Since, AgesAndDateTimes) {
  const std::int64_t now = 1'714'555'800;  // 2024-05-01T09:30:00Z
  const struct {
    std::string text;
    std::int64_t expected;
  } cases[] = {
      {"90s", now - 90},
      {"45", now - 45},
      {"15m", now - 900},
      {"2h", now - 7200},
      {"3d", now - 3 * 86400},
      {"2024-05-01T09:30Z", now},
      {"2024-05-01 09:30:15Z", now + 15},
      {"2024-05-01Z", now - 9 * 3600 - 1800},
  };
  for (const auto& c : cases) EXPECT_EQ(cli::ParseSince(c.text, now), c.expected) << c.text;
  for (const std::string bad :
       {"", "2w", "h", "yesterday", "2024-13-01", "2024-05-01T25:00", "1234567890d"}) {
    EXPECT_THROW(cli::ParseSince(bad, now), cli::UsageError) << bad;
  }
}

}  // namespace
}  // namespace selvarn::testing
