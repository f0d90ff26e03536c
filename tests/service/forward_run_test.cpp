// Commands for messages and reports: a real /bin/sh, what it finds in its environment, how
// its end is reported, and the limit that stops a hung one with everything it started.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "selvarn/service.hpp"
#include "service/forwarder.hpp"
#include "support/files.hpp"

namespace selvarn::service {
namespace {

using selvarn::testing::Slurp;
using selvarn::testing::TempDir;

TEST(ForwardRun, MessageAndReportEnvironment) {
  TempDir dir;
  const std::string out = dir.path + "/env";
  store::Message m;
  m.id = 12;
  m.sender = "+447700900123";
  m.parts.resize(2);
  m.parts[0].scts = "26/12/07,01:26:48+04";
  m.parts[0].text = std::string("it's \"a\0b", 9);
  m.parts[1].sequence = 2;
  m.parts[1].scts = "26/12/07,01:26:49+04";
  m.parts[1].text = " $HOME";
  store::Message bare;
  bare.id = 3;
  bare.sender = "Bank";
  bare.parts.resize(1);
  bare.parts[0].scts = "not a stamp";
  bare.parts[0].text = "x";
  store::StoredReport matched;
  matched.id = 7;
  matched.report.reference = 42;
  matched.report.recipient = "+4477009";
  matched.sent_id = 5;
  store::StoredReport unmatched;
  unmatched.id = 8;
  unmatched.report.reference = 255;
  unmatched.report.recipient = "1";
  unmatched.report.status = 70;
  const std::string message_vars =
      "printf '%s|%s|%s|%s|%s|%s' \"$SELVARN_SMS_ID\" \"$SELVARN_SMS_SENDER\" "
      "\"$SELVARN_SMS_TIME\" \"$SELVARN_SMS_SCTS\" \"$SELVARN_SMS_TEXT\" "
      "\"${SELVARN_SMS_STALE-none}\" > " +
      out;
  const std::string report_vars =
      "printf '%s|%s|%s|%s|%s|%s|%s' \"$SELVARN_SMS_REPORT_ID\" \"$SELVARN_SMS_REFERENCE\" "
      "\"$SELVARN_SMS_RECIPIENT\" \"$SELVARN_SMS_STATUS\" \"$SELVARN_SMS_STATE\" "
      "\"$SELVARN_SMS_SENT_ID\" \"${SELVARN_SMS_STALE-none}\" > " +
      out;
  // A variable of ours left in this process's environment is not passed on as if it were
  // the item's.
  setenv("SELVARN_SMS_STALE", "from the parent", 1);
  struct Row {
    std::function<int()> run;
    const char* file;
  };
  const Row rows[] = {
      {[&] { return RunForMessage(message_vars, m); },
       "12|+447700900123|2026-12-07T01:26:48+01:00|26/12/07,01:26:48+04|it's \"a\\u0000b $HOME|"
       "none"},
      {[&] { return RunForMessage(message_vars, bare); }, "3|Bank||not a stamp|x|none"},
      {[&] { return RunForReport(report_vars, matched); }, "7|42|+4477009|0|delivered|5|none"},
      {[&] { return RunForReport(report_vars, unmatched); }, "8|255|1|70|failed||none"},
  };
  for (const Row& row : rows) {
    std::filesystem::remove(out);
    EXPECT_EQ(row.run(), 0) << row.file;
    EXPECT_EQ(Slurp(out), row.file);
  }
  unsetenv("SELVARN_SMS_STALE");
}

// The exit status as the shell gives it, whatever this process blocks or ignores: a server
// blocks signals for sigwait and ignores SIGPIPE, and its commands must not inherit that.
TEST(ForwardRun, ExitStatus) {
  store::Message m;
  m.id = 1;
  struct Row {
    const char* command;
    int status;
  };
  const Row rows[] = {
      {"exit 0", 0},
      {"exit 3", 3},
      {"kill -TERM $$; exit 0", 128 + SIGTERM},
      {"kill -PIPE $$; exit 0", 128 + SIGPIPE},
      {"no-such-command-anywhere 2>/dev/null", 127},
  };
  sigset_t block;
  sigset_t saved;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &block, &saved);
  struct sigaction ignore {};
  struct sigaction saved_pipe {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &saved_pipe);
  for (const Row& row : rows) EXPECT_EQ(RunForMessage(row.command, m), row.status) << row.command;
  sigaction(SIGPIPE, &saved_pipe, nullptr);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

// A command past its limit is killed together with what it started in the background.
TEST(ForwardRun, LimitKillsTheWholeGroup) {
  TempDir dir;
  const std::string late = dir.path + "/late";
  const auto start = std::chrono::steady_clock::now();
  const CommandResult run = RunCommand("(sleep 0.4; echo late > " + late + ") & wait", {},
                                       std::chrono::milliseconds(100));
  EXPECT_TRUE(run.timed_out);
  EXPECT_EQ(run.status, -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(390));
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_FALSE(std::filesystem::exists(late));
  const CommandResult quick = RunCommand("exit 4", {}, std::chrono::milliseconds(5000));
  EXPECT_FALSE(quick.timed_out);
  EXPECT_EQ(quick.status, 4);
}

}  // namespace
}  // namespace selvarn::service
