// What goes to the modem for each way of sending, seen through --trace, and how the
// trace and the progress of a long send look.
#include "cli_support.hpp"
#include "output.hpp"

namespace selvarn::testing {
namespace {

class Wire : public CommandLine {
 protected:
  // What the program wrote after the start-up, one entry per write.
  static std::vector<std::string> WrittenAfterStartUp(const Outcome& o) {
    std::vector<std::string> written;
    for (const std::string& line : Lines(o.err)) {
      if (line.starts_with("> ")) written.push_back(line.substr(2));
    }
    const auto end = std::find(written.begin(), written.end(), "AT+CMGF=0<CR><CR>");
    EXPECT_NE(end, written.end()) << "no start-up in\n" << o.err;
    return {end == written.end() ? end : end + 1, written.end()};
  }
};

TEST_F(Wire, TraceShowsBothDirectionsWithLineBreaksVisible) {
  const Outcome o = Run({"--sim", "--trace", "init"});
  EXPECT_EQ(o.out, "OK\n");
  const auto lines = Lines(o.err);
  const std::vector<std::string> head = {"-- trying 115200 bit/s", "> AT<CR>",
                                         "< AT<CR><CR><LF>",       "< OK<CR><LF>",
                                         "> AT+CPIN?<CR>",         "< AT+CPIN?<CR><CR><LF>",
                                         "< +CPIN: READY<CR><LF>", "< <CR><LF>",
                                         "< OK<CR><LF>",           "> AT+CSMS=0<CR>"};
  ASSERT_GE(lines.size(), head.size());
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 10), head);
}

TEST_F(Wire, EachWayOfSendingPutsItsOwnPdusOnTheWire) {
  // SMS-SUBMIT asking for a status report (21), no validity period, to "123" (03 81 21F3),
  // "hello" in 5 septets.
  const std::string submit_hello = "002100038121F3000005E8329BFD06<^Z><CR>";
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> written;  // whole, or the start of each PDU for long texts
  } cases[] = {
      // The session switches the notices on and asks where messages go before it sends.
      {{"send", "123", "hello"},
       {"AT+CNMI=2,1,0,2,0<CR>", "AT+CPMS?<CR>", "AT+CMGS=14<CR><CR>", submit_hello}},
      {{"send", "--report", "123", "hello"},
       {"AT+CNMI=2,1,0,2,0<CR>", "AT+CPMS?<CR>", "AT+CMGS=14<CR><CR>", submit_hello}},
      // No report asked: TP-SRR clear in the first octet (01).
      {{"send", "--no-report", "123", "hello"},
       {"AT+CNMI=2,1,0,2,0<CR>", "AT+CPMS?<CR>", "AT+CMGS=14<CR><CR>",
        "000100038121F3000005E8329BFD06<^Z><CR>"}},
      // 161 septets: one over a single message; parts carry the chosen reference 0x4D.
      {{"send", "--ref", "77", "123", std::string(161, 'a')},
       {"006100038121F30000A00500034D0201", "006100038121F300000F0500034D0202"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"--sim", "--trace"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(::testing::PrintToString(args));
    const Outcome o = Run(args);
    EXPECT_EQ(o.code, 0) << o.err;
    std::vector<std::string> written = WrittenAfterStartUp(o);
    if (c.written[0].starts_with("0061")) {
      std::erase_if(written, [](const std::string& w) { return w.starts_with("AT"); });
      for (std::string& w : written) w.resize(c.written[0].size());
    }
    EXPECT_EQ(written, c.written);
  }
}

TEST_F(Wire, LongSendShowsProgressPerPart) {
  const std::string text(400, 'a');
  const Outcome bar = Run({"--sim", "send", "123", text}, "", /*terminal=*/true);
  EXPECT_EQ(bar.err,
            "\r[##########                    ] 1/3 parts sent"
            "\r[####################          ] 2/3 parts sent"
            "\r[##############################] 3/3 parts sent\n");
  // Mended: a part taken without a reference still counts; the OK after a refused part
  // does not.
  const Outcome refused =
      Run({"--sim", "--do", R"(fault 006100038121F30000A00500034D0302 literal \r\nOK\r\n)", "--do",
           R"(fault 006100038121F30000650500034D0303 literal \r\n+CMS ERROR: 500\r\n)", "send",
           "--ref", "77", "123", text});
  EXPECT_EQ(refused.code, 1);
  EXPECT_EQ(refused.out,
            "partly sent as message 1 (7bit, 3 parts): part 1 sent (reference 1), part 2 sent "
            "(reference ?), part 3 refused (+CMS ERROR: 500)\n");
  EXPECT_EQ(refused.err, "part 1 of 3 sent\npart 2 of 3 sent\n");
}

TEST(Visible, ShowsLineBreaksAndControlBytes) {
  EXPECT_EQ(cli::Visible("AT\r\n\x1a\x1b\x1f \x7e\x7f\x80\xff"),
            "AT<CR><LF><^Z><ESC><0x1F> ~<0x7F><0x80><0xFF>");
}

}  // namespace
}  // namespace selvarn::testing
