// What a newcomer meets first: times as people and scripts read them, help pages that fit a
// terminal, and a simulator run that leaves the user's message store alone.
#include <optional>
#include <regex>

#include "cli_support.hpp"
#include "command.hpp"
#include "help_format.hpp"
#include "selvarn/gateway.hpp"
#include "store/message_store.hpp"

namespace selvarn::testing {
namespace {

namespace fs = std::filesystem;

TEST(TimeStamps, BecomeIsoTimesAndUnixSeconds) {
  const struct {
    const char* scts;
    std::optional<std::string> iso;
    std::optional<std::int64_t> unix_seconds;
  } cases[] = {
      // clang-format off
      {"26/12/07,01:26:48+04", "2026-12-07T01:26:48+01:00", 1796603208},
      {"26/12/07,01:26:48-08", "2026-12-07T01:26:48-02:00", 1796614008},
      {"26/12/07,01:26:48+00", "2026-12-07T01:26:48+00:00", 1796606808},
      {"26/12/07,01:26:48-00", "2026-12-07T01:26:48+00:00", 1796606808},
      {"24/05/01,09:30:00+23", "2024-05-01T09:30:00+05:45", 1714535100},  // Nepal
      {"00/01/01,00:00:00+00", "2000-01-01T00:00:00+00:00", 946684800},   // 00 is 2000
      {"99/12/31,23:59:59+79", "2099-12-31T23:59:59+19:45", 4102373699},  // the widest zone
      {"24/02/29,12:00:00+00", "2024-02-29T12:00:00+00:00", 1709208000},  // a leap day
      {"00/02/29,12:00:00+00", "2000-02-29T12:00:00+00:00", 951825600},   // 2000 leaps too
      {"70/03/01,00:00:00+00", "2070-03-01T00:00:00+00:00", 3160857600},
      // Not a time: nullopt, never a guess.
      {"23/02/29,12:00:00+00", {}, {}}, {"24/04/31,12:00:00+00", {}, {}},
      {"24/13/01,12:00:00+00", {}, {}}, {"24/00/01,12:00:00+00", {}, {}},
      {"24/05/00,12:00:00+00", {}, {}}, {"24/05/01,24:00:00+00", {}, {}},
      {"24/06/31,12:00:00+00", {}, {}}, {"24/12/32,12:00:00+00", {}, {}},
      {"24/05/01,12:60:00+00", {}, {}}, {"24/05/01,12:00:60+00", {}, {}},
      {"24/05/01,12:00:00+80", {}, {}}, {"24/05/01,12:00:00 04", {}, {}},
      {"24/05/01,12:00:00+4", {}, {}},  {"24/05/01,12:00:00+004", {}, {}},
      {"24/05/01 12:00:00+04", {}, {}}, {"24-05-01,12:00:00+04", {}, {}},
      {"24/05/01,12.00:00+04", {}, {}}, {"24/05/01,12:00.00+04", {}, {}},
      {"2a/05/01,12:00:00+04", {}, {}}, {"24/05/01,12:00:00+0A", {}, {}},
      {"", {}, {}},                     {"24/05/01", {}, {}},
      // clang-format on
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsoTime(c.scts), c.iso) << c.scts;
    EXPECT_EQ(UnixTime(c.scts), c.unix_seconds) << c.scts;
  }
}

class Face : public CommandLine {};

// In the tests' zone: +01:00 in winter, +02:00 in summer.
TEST_F(Face, TimesShowInTheMachinesZoneOneFormatEverywhere) {
  const std::int64_t winter = 1796603208;  // 2026-12-07T00:26:48Z
  const std::int64_t summer = 1714555800;  // 2024-05-01T09:30:00Z
  EXPECT_EQ(cli::IsoLocal(winter), "2026-12-07T01:26:48+01:00");
  EXPECT_EQ(cli::IsoLocal(summer), "2024-05-01T11:30:00+02:00");
  EXPECT_EQ(cli::LocalTime(winter), "2026-12-07 01:26:48 +01:00");
  EXPECT_EQ(cli::LocalTime(summer), "2024-05-01 11:30:00 +02:00");
  setenv("TZ", "EST5", 1);  // behind UTC
  tzset();
  EXPECT_EQ(cli::IsoLocal(winter), "2026-12-06T19:26:48-05:00");
  setenv("TZ", "IST-5:30", 1);  // half an hour
  tzset();
  EXPECT_EQ(cli::LocalTime(winter), "2026-12-07 05:56:48 +05:30");
  setenv("TZ", kTestZone, 1);
  tzset();
  // A network's stamp: JSON keeps its own offset, text shows it here; what is no stamp
  // stays as it came (null in JSON, where the raw stamp stands beside it).
  EXPECT_EQ(cli::StampJson("26/12/07,01:26:48-08"), "2026-12-07T01:26:48-02:00");
  EXPECT_EQ(cli::StampText("26/12/07,01:26:48-08"), "2026-12-07 04:26:48 +01:00");
  EXPECT_TRUE(cli::StampJson("26/13/07,01:26:48-08").is_null());
  EXPECT_EQ(cli::StampText("99/99/99\x1b[2J"), "99/99/99\\e[2J");
  EXPECT_EQ(cli::StampText(""), "");
}

// The listings give the store's times: sent_at and reported_at, received_at.
TEST_F(Face, ListingsGiveTheStoresTimesInIsoAndLocalTime) {
  const std::string db = ports.path() + "/times.db";
  ASSERT_EQ(Run({"--sim", "--store", db, "--do", "message from +447700900001 text Hi", "send",
                 "--wait-report", "10", "+447700900123", "Hello"})
                .code,
            0);
  ASSERT_EQ(
      Run({"--sim", "--store", db, "--do", "message from +447700900001 text Hi", "read"}).code, 0);
  const std::regex iso(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)");
  const std::regex local(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d [+-]\d\d:\d\d)");
  const auto out = nlohmann::json::parse(Run({"--store", db, "--json", "outbox"}).out);
  for (const std::string t : {out["sent_at"], out["parts"][0]["reported_at"]}) {
    EXPECT_TRUE(std::regex_match(t, iso)) << t;
  }
  // The send stored the message that came while it waited, the read another: the first.
  const std::string inbox = Run({"--store", db, "--json", "inbox"}).out;
  const auto in = nlohmann::json::parse(inbox.substr(0, inbox.find('\n')));
  EXPECT_TRUE(std::regex_match(std::string(in["received_at"]), iso)) << in;
  const std::string text = Run({"--store", db, "outbox"}).out;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(text, m, std::regex("Sent:   (.*)\n"))) << text;
  EXPECT_TRUE(std::regex_match(m[1].str(), local)) << text;
  ASSERT_TRUE(std::regex_search(text, m, std::regex(R"(\(report (.*), status 0\))"))) << text;
  EXPECT_TRUE(std::regex_match(m[1].str(), local)) << text;
}

// Every page: at most 80 columns, none of the parser's own notation, and every option its
// usage line names explained below it.
TEST_F(Face, EveryHelpPageFitsATerminalInPlainWords) {
  std::vector<std::vector<std::string>> pages = {{"--help"}};
  for (const cli::CommandMaker make : cli::Commands()) {
    pages.push_back({std::string(make()->Name()), "--help"});
  }
  const std::regex internals(
      R"(REQUIRED|Excludes:|Needs:|:INT|INT:|\bINT\b|TEXT:|:TEXT|FLOAT|in \[|\{\d+\}|Positionals|Subcommands|SUBCOMMAND|Option Group)");
  const std::regex option(R"(--[a-z0-9-]+)");
  for (const auto& args : pages) {
    SCOPED_TRACE(args.front());
    const Outcome o = Run(args);
    EXPECT_EQ(o.code, 0);
    const std::vector<std::string> lines = Lines(o.out);
    ASSERT_GT(lines.size(), 5u);
    for (const std::string& line : lines) {
      EXPECT_LE(
          std::count_if(line.begin(), line.end(),
                        [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }),
          80)
          << line;
      EXPECT_FALSE(std::regex_search(line, internals)) << line;
    }
    // The usage runs from its line to the first blank one.
    const std::size_t usage = o.out.find("\nUsage: ");
    ASSERT_NE(usage, std::string::npos);
    const std::string synopsis = o.out.substr(usage, o.out.find("\n\n", usage + 1) - usage);
    for (std::sregex_iterator i(synopsis.begin(), synopsis.end(), option), end; i != end; ++i) {
      const std::regex listed("\n  (-\\w, )?" + i->str() + "( [A-Z]+)?  ");
      EXPECT_TRUE(std::regex_search(o.out, listed)) << i->str() << " is not explained";
    }
  }
}

TEST(Wrapping, BreaksBetweenWordsAndKeepsParagraphs) {
  const struct {
    std::string text;
    std::size_t width, first, indent;
    std::string wrapped;
  } cases[] = {
      {"one two three", 80, 0, 0, "one two three"},
      {"one two three", 9, 0, 2, "one two\n  three"},
      {"one two three", 7, 0, 0, "one two\nthree"},
      {"one two three", 12, 6, 6, "one\n      two\n      three"},
      {"one\ntwo\n\nthree", 80, 0, 4, "one two\n\n    three"},
      {"жжж жжж", 7, 0, 0, "жжж жжж"},  // columns, not bytes
      {"longerthanwidth x", 5, 0, 0, "longerthanwidth\nx"},
      {"", 80, 0, 0, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(cli::Wrap(c.text, c.width, c.first, c.indent), c.wrapped) << c.text;
  }
  EXPECT_EQ(cli::UsageLines("usage: selvarn-sms [OPTIONS] send",
                            " [--unicode | --7bit] [--report] [--wait-report SECONDS] [--ref N] "
                            "NUMBER TEXT|-"),
            "usage: selvarn-sms [OPTIONS] send [--unicode | --7bit] [--report]\n"
            "                   [--wait-report SECONDS] [--ref N] NUMBER TEXT|-\n");
}

// --sim keeps its messages in a store of the run's own, gone at its end; --store keeps them.
TEST_F(Face, TheSimulatorLeavesTheUsersStoreAlone) {
  const std::string tmp = ports.path() + "/tmp";
  fs::create_directory(tmp);
  setenv("TMPDIR", tmp.c_str(), 1);
  const std::string kept = ports.path() + "/kept.db";
  const struct {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{"--sim", "send", "+447700900123", "Hi"}, "sent as message 1 (7bit), message reference 1\n"},
      {{"--sim", "--do", "message from +447700900001 text Hi", "read"}, ""},
      {{"--sim", "outbox"},
       "no message: with --sim the messages are kept for the run alone (--store PATH keeps "
       "them)\n"},
      {{"--sim", "--store", kept, "send", "+447700900123", "Kept"}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const Outcome o = Run(c.args);
    EXPECT_EQ(o.code, 0) << o.err;
    if (!c.out.empty()) {
      EXPECT_EQ(o.out, c.out);
    }
    EXPECT_FALSE(fs::exists(std::string(std::getenv("XDG_DATA_HOME")) + "/selvarn-sms"))
        << "the user's store was made";
    EXPECT_TRUE(fs::is_empty(tmp)) << "the run's own store is gone";
  }
  store::MessageStore store(kept);
  ASSERT_EQ(store.Outbox(0).size(), 1u);
  EXPECT_EQ(store.Outbox(0).front().text, "Kept");
  unsetenv("TMPDIR");
}

}  // namespace
}  // namespace selvarn::testing
