// What a sender, a modem or a user may hand the command line: texts and fields that would
// forge its output or drive the terminal, endless standard input, impossible dates, a
// store on a medium that cannot be written.
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "cli_support.hpp"
#include "output.hpp"
#include "store/message_store.hpp"
#include "support/files.hpp"
#include "text_args.hpp"

namespace selvarn::testing {
namespace {

struct Row {
  std::vector<std::string> args;
  int code;
  std::string out, err = "", input = "";  // err: its start
};

class Forging : public CommandLine {
 protected:
  void Expect(const std::vector<Row>& rows) {
    for (const Row& r : rows) {
      SCOPED_TRACE(::testing::PrintToString(r.args));
      const Outcome o = Run(r.args, r.input);
      ExpectOutput(o.out, r.out);
      EXPECT_EQ(o.err.substr(0, r.err.size()), r.err);
      EXPECT_EQ(o.code, r.code);
    }
  }
  // The command line in a child that sees `folder` as a read-only file system (a bind
  // mount in a mount namespace of its own; a user namespace lets one who is not root make
  // it): its exit status and what it printed.
  std::pair<int, std::string> RunReadOnly(const std::string& folder,
                                          const std::vector<std::string>& args) {
    const std::string printed = ports.path() + "/printed";
    const int code = InChild([&] {
      const bool ro =
          unshare(geteuid() == 0 ? CLONE_NEWNS : CLONE_NEWUSER | CLONE_NEWNS) == 0 &&
          mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
          mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
          mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
      const Outcome o = ro ? Run(args) : Outcome{99, "", std::strerror(errno)};
      std::ofstream(printed) << o.out << o.err;
      return o.code;
    });
    return {code, Slurp(printed)};
  }
};

TEST(Escaping, NothingFromTheNetworkReachesTheTerminalAsItIs) {
  const std::string cases[][2] = {
      {"\x1b[2J\a\r\t\n", "\\e[2J\\u0007\\r\\t\\n"},
      {std::string("a\0b", 3), "a\\u0000b"},
      // The edges of each range: C0, DEL and C1, the separators, the bidi controls.
      {"\x1f \x7e\x7f\u0080\u009f\u00a0", "\\u001f \x7e\\u007f\\u0080\\u009f\u00a0"},
      {"\u2027\u2028\u2029\u202a\u202e\u202f", "\u2027\\u2028\\u2029\\u202a\\u202e\u202f"},
      {"\u2065\u2066\u2069\u206a", "\u2065\\u2066\\u2069\u206a"},
      // Bytes that are not UTF-8 go by their values; U+FFFD itself is a character.
      {"\xff\xc3(\xe2\x82", "\\xff\\xc3(\\xe2\\x82"},
      {"Grüße 😀 ¯\\_(ツ)_/¯ \ufffd", "Grüße 😀 ¯\\_(ツ)_/¯ \ufffd"},
  };
  for (const auto& [in, shown] : cases) EXPECT_EQ(cli::Escaped(in), shown);
  EXPECT_EQ(cli::Escaped("a\n\x1b\n", "  "), "a\n  \\e\n  ");
}

// Every field the network fills, as each command prints it.
TEST_F(Forging, NoMessageCanForgeTheOutput) {
  const std::string forged = "ok\\nId:     2\\nFrom:   +447700900777\\nText:   Call me\\e[2J\\a";
  const std::string times = "time 24/05/01,09:30:00+04 ";
  const char* kBadIndex = R"(fault AT+CMGL literal \r\n+CMGL: \e[2J,1,,24\r\n00\r\n\r\nOK\r\n)";
  // clang-format off
  Expect({
      {{"--sim", "--do", "message from Ev\nil " + times + "ucs2 text " + forged, "read"}, 0, "Id:     1\nFrom:   "
       "Ev\\nil\nCentre: +447785016005\nTime:   2024-05-01 10:30:00 +02:00\nText:   "
       "ok\n        Id:     2\n        From:   +447700900777\n        Text:   Call me\\e[2J\\u0007\n"},
      {{"--sim", "--do", "report ref 1 to Ev\nil status 0 " + times + "done 24/05/01,09:30:05+04", "report"}, 0,
       "Reference: 1\nRecipient: Ev\\nil\nReceived:  2024-05-01 10:30:00 +02:00\nForwarded: 2024-05-01 10:30:05 +02:00\nStatus:    Delivered\n"},
      {{"--sim", "call", "MN", "a\x1b]0;owned\a\tb"}, 0, "a\\e]0;owned\\u0007\\tb\n"},
      // A modem's answer quoted in an error, and in the warning of the reading that passes over it.
      {{"--sim", "--do", kBadIndex, "call", "ReadSMS"}, 3, "", "selvarn-sms: error 13: Type mismatch: \"\\e[2J\"\n"},
      {{"--sim", "--do", kBadIndex, "read"}, 0, "no message\n",
       "selvarn-sms: warning: SR: passed over an entry with index \"\\e[2J\""},
  });
  // clang-format on
}

TEST_F(Forging, SmallerTraps) {
  const std::string missing = ports.path() + "/none/messages.db";
  // clang-format off
  Expect({
      // Refused before it is all read, let alone checked.
      {{"--sim", "send", "123", "-"}, 2, "", "selvarn-sms: standard input is too long: a long message has at "
       "most 255 parts", std::string(cli::MostTextBytes() + 1, '\xff')},
      {{"inbox", "--since", "1999-02-30"}, 2, "", "selvarn-sms: --since: there is no such day"},
      // A query makes no store where there was none.
      {{"--store", missing, "inbox"}, 0, "no message: there is no message store " + missing + " yet\n"},
      {{"--store", missing, "--json", "outbox"}, 0, R"({"command":"outbox","found":false})"},
  });
  // clang-format on
  EXPECT_FALSE(std::filesystem::exists(ports.path() + "/none"));
}

TEST_F(Forging, AStoreOnAReadOnlyFileSystemIsListed) {
  const std::string folder = ports.path() + "/ro";
  std::filesystem::create_directories(folder);
  {
    store::MessageStore s(folder + "/messages.db");
    store::ReceivedPart in;
    in.sender = "+447700900001", in.text = "In";
    s.StorePart(in);
    store::SentMessage out;
    out.recipient = "+447700900002", out.text = "Out", out.references = {7};
    s.RecordSent(out);
  }
  for (const std::string command : {"inbox", "outbox"}) {
    const auto [code, out] = RunReadOnly(folder, {"--store", folder + "/messages.db", command});
    EXPECT_EQ(code, 0) << out;
    EXPECT_NE(out.find(command == "inbox" ? "Text:   In\n" : "Text:   Out\n"), std::string::npos)
        << out;
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);

  // Read-only, the store makes nothing, brings nothing up to date and writes nothing.
  std::ofstream(folder + "/blank.db").flush();
  const std::string refused[][2] = {
      {"none.db", "opening: No such file or directory"},
      {"blank.db", "schema version 0 is older than this selvarn-sms reads"},
      {"messages.db", "attempt to write a readonly database"}};
  for (const auto& [file, error] : refused) {
    try {
      store::MessageStore(folder + "/" + file, {.read_only = true}).MarkHandedOut(1);
      ADD_FAILURE() << file;
    } catch (const RuntimeError& e) {
      EXPECT_NE(std::string(e.description()).find(error), std::string::npos) << e.description();
    }
  }
  EXPECT_FALSE(std::filesystem::exists(folder + "/none.db"));
}

}  // namespace
}  // namespace selvarn::testing
