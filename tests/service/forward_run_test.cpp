// Commands for messages and reports: a real /bin/sh, what it finds in its environment, its
// end as the shell reports it, and the limit that stops a hung one with what it started.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "service/forwarder.hpp"
#include "support/files.hpp"

namespace selvarn::service {
namespace {

TEST(ForwardRun, EnvironmentAndStatus) {
  selvarn::testing::TempDir dir;
  const std::string out = " > " + dir.path + "/out";
  store::Message m;
  m.id = 12;
  m.sender = "+447700900123";
  m.parts.resize(2);
  m.parts[0].scts = "26/12/07,01:26:48+04";
  m.parts[0].text = std::string("it's \"a\0b", 9);
  m.parts[1].text = " $HOME";
  const int open_fd = open("/dev/null", O_RDONLY);
  const std::string show = "printf '%s|' \"${SELVARN_SMS_STALE-none}\" ";
  struct Row {
    std::function<int()> run;
    int status;
    const char* out;
  };
  const Row rows[] = {
      {[&] {
         return RunForMessage(show +
                                  "\"$SELVARN_SMS_ID\" \"$SELVARN_SMS_SENDER\" "
                                  "\"$SELVARN_SMS_TIME\" \"$SELVARN_SMS_SCTS\" "
                                  "\"$SELVARN_SMS_TEXT\"" +
                                  out,
                              m);
       },
       0,
       "none|12|+447700900123|2026-12-07T01:26:48+01:00|26/12/07,01:26:48+04|it's \"a\\u0000b "
       "$HOME|"},
      // Signals this process blocks (for sigwait) or ignores (SIGPIPE) do not carry over.
      {[&] { return RunForMessage("kill -TERM $$; echo x" + out, m); }, 128 + SIGTERM, ""},
      {[&] { return RunForMessage("kill -PIPE $$; echo x" + out, m); }, 128 + SIGPIPE, ""},
      {[&] { return RunForMessage("exit 3", m); }, 3, ""},
      // Nor does a descriptor this process left open without close-on-exec.
      {[&] { return RunForMessage("test -e /proc/self/fd/" + std::to_string(open_fd), m); }, 1, ""},
  };
  // A variable of ours in this process's environment is not passed on as the item's.
  setenv("SELVARN_SMS_STALE", "from the parent", 1);
  sigset_t block;
  sigset_t saved;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &block, &saved);
  struct sigaction ignore {};
  struct sigaction saved_pipe {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &saved_pipe);
  for (const Row& row : rows) {
    std::filesystem::remove(dir.path + "/out");
    EXPECT_EQ(row.run(), row.status) << row.out;
    EXPECT_EQ(selvarn::testing::Slurp(dir.path + "/out"), row.out);
  }
  sigaction(SIGPIPE, &saved_pipe, nullptr);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  unsetenv("SELVARN_SMS_STALE");
  close(open_fd);
}

// A command past its limit is killed together with what it started in the background.
TEST(ForwardRun, LimitKillsTheWholeGroup) {
  selvarn::testing::TempDir dir;
  const std::string late = dir.path + "/late";
  const CommandResult run = RunCommand("(sleep 0.4; echo late > " + late + ") & wait", {},
                                       std::chrono::milliseconds(100));
  EXPECT_TRUE(run.timed_out);
  EXPECT_EQ(run.status, -1);
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_FALSE(std::filesystem::exists(late));
  EXPECT_EQ(RunCommand("exit 4", {}, std::chrono::milliseconds(5000)).status, 4);
}

}  // namespace
}  // namespace selvarn::service
