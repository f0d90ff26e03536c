// watch as a process against the simulator: the command run once per whole message
// with the message in its environment, messages announced while it waits, a clean stop
// on SIGTERM that leaves the port free, and a modem that goes away.
#include <memory>

#include <gtest/gtest.h>

#include "child_process.hpp"
#include "cli_support.hpp"
#include "modemsim/simulator.hpp"
#include "support/port_folder.hpp"

namespace selvarn::testing {
namespace {

using namespace std::chrono_literals;
namespace sim = selvarn::modemsim;

class Watch : public ::testing::Test {
 protected:
  Watch()
      : simulator(std::make_unique<sim::Simulator>(sim::Options{.port_folder = ports.path()})) {}

  std::vector<std::string> Args(const std::vector<std::string>& command) const {
    std::vector<std::string> args = {Program("selvarn-sms"), "--port",
                                     std::to_string(simulator->port()), "--store",
                                     ports.path() + "/messages.db"};
    args.insert(args.end(), command.begin(), command.end());
    return args;
  }
  std::string File(const std::string& name) const { return ports.path() + "/" + name; }
  bool Watching(const std::string& err) const {
    return Slurp(File(err)).find("selvarn-sms: watching") != std::string::npos;
  }

  PortFolder ports;
  std::unique_ptr<sim::Simulator> simulator;
};

TEST_F(Watch, RunsTheCommandOncePerWholeMessageAndStopsCleanlyOnSigterm) {
  const std::string time = "24/05/01,09:30:00+04";
  const std::string risky = "It's \"$HOME\" & $(id); rm -rf / #";
  const std::string long_text(200, 'L');
  simulator->Deliver({.sender = "+447700900001", .text = risky, .time = time});
  simulator->Deliver({.sender = "Selvarn", .text = long_text, .time = time, .order = {2, 1}});
  const std::string log = File("exec.log");
  // Only an announcement can bring the third message in time: the next look is a
  // minute away.
  const std::vector<std::string> watch =
      Args({"watch", "--interval", "60", "--exec",
            "printf '%s|%s|%s|%s\\n' \"$SELVARN_SMS_ID\" \"$SELVARN_SMS_SENDER\" "
            "\"$SELVARN_SMS_TIME\" \"$SELVARN_SMS_TEXT\" >> " +
                log});
  {
    Child w(watch, File("w1.out"), File("w1.err"));
    ASSERT_TRUE(WaitFor([&] { return Lines(Slurp(log)).size() >= 2; }, 15s))
        << Slurp(File("w1.err"));
    simulator->Deliver({.sender = "+447700900002", .text = "Late", .time = time});
    ASSERT_TRUE(WaitFor([&] { return Lines(Slurp(log)).size() >= 3; }, 10s))
        << Slurp(File("w1.err"));
    w.Signal(SIGTERM);
    EXPECT_EQ(w.WaitAtMost(10s), 0) << Slurp(File("w1.err"));
    EXPECT_NE(Slurp(File("w1.err")).find("Terminated: stopped"), std::string::npos);
  }
  const std::vector<std::string> expected = {
      "1|+447700900001|" + time + "|" + risky,
      "2|Selvarn|" + time + "|" + long_text,
      "3|+447700900002|" + time + "|Late",
  };
  EXPECT_EQ(Lines(Slurp(log)), expected);
  EXPECT_TRUE(simulator->Messages("SM").empty());

  // The port is free again, and a second run hands out nothing twice.
  Child init(Args({"init"}), File("init.out"), File("init.err"));
  EXPECT_EQ(init.WaitAtMost(10s), 0) << Slurp(File("init.err"));
  EXPECT_EQ(Slurp(File("init.out")), "OK\n");
  Child again(watch, File("w2.out"), File("w2.err"));
  ASSERT_TRUE(WaitFor([&] { return Watching("w2.err"); }, 10s)) << Slurp(File("w2.err"));
  std::this_thread::sleep_for(500ms);
  again.Signal(SIGINT);
  EXPECT_EQ(again.WaitAtMost(10s), 0) << Slurp(File("w2.err"));
  EXPECT_EQ(Lines(Slurp(log)).size(), 3u);
}

TEST_F(Watch, AModemThatGoesAwayEndsItWithStatusThree) {
  Child w(Args({"watch"}), File("w.out"), File("w.err"));
  ASSERT_TRUE(WaitFor([&] { return Watching("w.err"); }, 10s)) << Slurp(File("w.err"));
  std::this_thread::sleep_for(2s);  // waiting on the port by now
  simulator.reset();
  EXPECT_EQ(w.WaitAtMost(15s), 3) << Slurp(File("w.err"));
  EXPECT_NE(Slurp(File("w.err")).find("selvarn-sms: error 8010: The modem on port "),
            std::string::npos)
      << Slurp(File("w.err"));
}

}  // namespace
}  // namespace selvarn::testing
