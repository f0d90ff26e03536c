// What goes to the modem for each way of sending, seen through --trace, and how the
// trace and the progress of a long send look.
#include "cli_support.hpp"
#include "output.hpp"

namespace selvarn::testing {
namespace {

const std::string kLongCyrillic = [] {
  std::string s;
  for (int i = 0; i < 71; ++i) s += "ж";
  return s;
}();

class Wire : public CommandLine {
 protected:
  // What the program wrote after the start-up, one entry per write.
  std::vector<std::string> WrittenAfterStartUp(const Outcome& o) {
    std::vector<std::string> written;
    for (const std::string& line : Lines(o.err)) {
      if (line.starts_with("> ")) written.push_back(line.substr(2));
    }
    const std::vector<std::string> start_up = {"AT<CR>",     "AT+CPIN?<CR>",  "AT+CSMS=0<CR>",
                                               "AT+CSQ<CR>", "AT+CSDH=1<CR>", "AT+CMGF=0<CR><CR>"};
    if (written.size() < start_up.size() ||
        !std::equal(start_up.begin(), start_up.end(), written.begin())) {
      ADD_FAILURE() << "no start-up in\n" << o.err;
      return written;
    }
    written.erase(written.begin(), written.begin() + 6);
    return written;
  }
};

TEST_F(Wire, TraceShowsBothDirectionsWithLineBreaksVisible) {
  const Outcome o = Run({"--sim", "--trace", "init"});
  ASSERT_EQ(o.code, 0);
  const auto lines = Lines(o.err);
  const std::vector<std::string> head = {
      "> AT<CR>",       "< AT<CR><CR><LF>",       "< OK<CR><LF>",
      "> AT+CPIN?<CR>", "< AT+CPIN?<CR><CR><LF>", "< +CPIN: READY<CR><LF>",
      "< <CR><LF>",     "< OK<CR><LF>",           "> AT+CSMS=0<CR>"};
  ASSERT_GE(lines.size(), head.size());
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 9), head);
  EXPECT_EQ(o.out, "OK\n");
}

TEST_F(Wire, EachWayOfSendingPutsItsOwnPdusOnTheWire) {
  // SMS-SUBMIT asking for a status report (21), no validity period, to "123" (03 81 21F3),
  // "hello" in 5 septets.
  const std::string submit_hello = "002100038121F3000005E8329BFD06<^Z><CR>";
  const struct {
    std::vector<std::string> args;
    std::string input;
    std::vector<std::string> written;
  } cases[] = {
      {{"send", "123", "hello"}, "", {"AT+CMGS=14<CR><CR>", submit_hello}},
      // Standard input loses the line break that ends it.
      {{"send", "123", "-"}, "hello\n", {"AT+CMGS=14<CR><CR>", submit_hello}},
      {{"send", "--unicode", "123", "hello"},
       "",
       {"AT+CMGS=19<CR><CR>", "002100038121F300080A00680065006C006C006F<^Z><CR>"}},
      // ж is not in the alphabet and goes as "?"; € is an escape pair: 68 3F 1B 65.
      {{"send", "--7bit", "123", "hж€"},
       "",
       {"AT+CMGS=13<CR><CR>", "002100038121F3000004E8DFA60C<^Z><CR>"}},
      // The reports switched on first; the PDU asks for them anyway.
      {{"send", "--report", "123", "hello"},
       "",
       {"AT+CNMI=2,0,0,2,0<CR><CR>", "AT+CSMP=49,255,0,0<CR><CR>", "AT+CMGS=14<CR><CR>",
        submit_hello}},
      {{"reports", "off"}, "", {"AT+CNMI=2,0,0,0,0<CR><CR>", "AT+CSMP=1,255,0,0<CR><CR>"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"--sim", "--trace"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(::testing::PrintToString(args));
    const Outcome o = Run(args, c.input);
    EXPECT_EQ(o.code, 0) << o.err;
    EXPECT_EQ(WrittenAfterStartUp(o), c.written);
  }
}

TEST_F(Wire, LongTextGoesOutInPartsWithTheChosenReference) {
  // 161 septets: one over a single message. The euro sign takes two septets, so 159
  // letters and it are long as well; 160 letters are not.
  const struct {
    std::string text;
    std::vector<std::string> headers;  // the start of each PDU written
  } cases[] = {
      {std::string(161, 'a'),
       {"006100038121F30000A00500034D0201", "006100038121F300000F0500034D0202"}},
      {std::string(159, 'a') + "€",
       {"006100038121F30000A00500034D0201", "006100038121F300000F0500034D0202"}},
      {std::string(160, 'a'), {"002100038121F30000A0"}},
      // 71 UCS2 units: 67 (140 octets with the header) and 4 (14).
      {kLongCyrillic, {"006100038121F300088C0500034D0201", "006100038121F300080E0500034D0202"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.size());
    const Outcome o = Run({"--sim", "--trace", "send", "--ref", "77", "123", c.text});
    EXPECT_EQ(o.code, 0) << o.err;
    std::vector<std::string> headers;
    for (const std::string& w : WrittenAfterStartUp(o)) {
      if (!w.starts_with("AT")) headers.push_back(w.substr(0, c.headers.front().size()));
    }
    EXPECT_EQ(headers, c.headers);
  }
}

TEST_F(Wire, LongSendShowsProgressPerPart) {
  const std::string text(400, 'a');
  const Outcome lines = Run({"--sim", "send", "123", text});
  EXPECT_EQ(lines.err, "part 1 of 3 sent\npart 2 of 3 sent\npart 3 of 3 sent\n");
  const Outcome bar = Run({"--sim", "send", "123", text}, "", /*terminal=*/true);
  EXPECT_EQ(bar.err,
            "\r[##########                    ] 1/3 parts sent"
            "\r[####################          ] 2/3 parts sent"
            "\r[##############################] 3/3 parts sent\n");
  // A part taken without a reference still counts; one refused stops the count.
  const Outcome refused =
      Run({"--sim", "--do", R"(fault 006100038121F30000A00500034D0302 literal \r\nOK\r\n)", "--do",
           R"(fault 006100038121F30000650500034D0303 literal \r\n+CMS ERROR: 500\r\n)", "send",
           "--ref", "77", "123", text});
  EXPECT_EQ(refused.code, 1);
  EXPECT_EQ(refused.out, "not sent (parts 1,? went out before the refusal)\n");
  EXPECT_EQ(refused.err, "part 1 of 3 sent\npart 2 of 3 sent\n");
}

TEST(Visible, ShowsLineBreaksAndControlBytes) {
  EXPECT_EQ(cli::Visible("AT\r\n\x1a\x1b\x1f \x7e\x7f\x80\xff"),
            "AT<CR><LF><^Z><ESC><0x1F> ~<0x7F><0x80><0xFF>");
}

}  // namespace
}  // namespace selvarn::testing
