// Scenario files and the selvarn-modemsim program built on them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <tuple>

#include "client.hpp"
#include "modemsim/scenario.hpp"

namespace modemsim_test {
namespace {

using selvarn::modemsim::ApplyScenario;
using selvarn::modemsim::ModemState;
using selvarn::modemsim::SimState;
using selvarn::modemsim::Simulator;

TEST(Scenario, AppliesEverySetting) {
  TempDir dir;
  Simulator sim({.port_folder = dir.path});
  std::istringstream in(
      "# comment\n\n  set   echo off  \nset cmee 2\nset pin 0000\nset puk 87654321\n"
      "set sim puk\nset pin-tries 5\nset creg 2 5\nset location 0101 FFFE 2\n"
      "set csq 0 7\r\nset csms-busy 3\n");
  ApplyScenario(sim, in);
  const ModemState s = sim.State();
  EXPECT_EQ(std::make_tuple(s.echo, s.cmee, s.sim, s.pin, s.puk, s.pin_tries, s.pin_tries_left),
            std::make_tuple(false, 2, SimState::PukRequired, "0000", "87654321", 5, 5));
  EXPECT_EQ(std::make_tuple(s.creg_mode, s.creg_stat, s.lac, s.ci, s.act, s.rssi, s.ber),
            std::make_tuple(2, 5, "0101", "FFFE", 2, 0, 7));
  EXPECT_EQ(s.csms_busy, 3);
}

TEST(Scenario, NamesTheBadLine) {
  const std::pair<const char*, const char*> cases[] = {
      {"set echo on\nset volume 3", "line 2: unknown setting 'volume'"},
      {"set creg 2", "line 1: missing state"},
      {"fault AT+CSQ chunks 2,0 10", "line 1: bad chunk size '0'"},
      {"fault AT+CSQ literal \\q", "line 1: unknown escape \\q"},
      {"reboot", "line 1: unknown directive 'reboot'"},
  };
  TempDir dir;
  Simulator sim({.port_folder = dir.path});
  for (const auto& [text, message] : cases) {
    std::istringstream in(text);
    try {
      ApplyScenario(sim, in);
      ADD_FAILURE() << text << ": accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), "scenario " + std::string(message)) << text;
    }
  }
}

TEST(Scenario, FaultsAndSendsReachTheWire) {
  TempDir dir;
  Simulator sim({.port_folder = dir.path, .modem = {.echo = false}});
  std::istringstream in(
      "fault AT+CREG? literal \\r\\n+CREG: 0,2\\r\\n\\r\\nOK\\r\\n  \n"
      "fault AT+CPIN? count 1 literal \\r\\n+CPIN:\n"
      "fault AT+CPIN? tail 50 \\x20READY\\r\\n\\r\\nOK\\r\\n\n"
      "fault AT+CSQ chunks 2 30 delay 20\n"
      "send 0 \\r\\nRING\\r\\n\n");
  ApplyScenario(sim, in);
  Client client(sim.link_path());
  EXPECT_EQ(Join(client.ReadTimed("RING\r\n", 1000ms)), "\r\nRING\r\n");
  EXPECT_TRUE(Answers(client, "AT+CREG?\r", "\r\n+CREG: 0,2\r\n\r\nOK\r\n"));
  // Literal and tail add up to one fault; the count of one then runs out.
  EXPECT_TRUE(Answers(client, "AT+CPIN?\r", "\r\n+CPIN: READY\r\n\r\nOK\r\n"));
  EXPECT_TRUE(Answers(client, "AT+CPIN?\r", "\r\n+CPIN: READY\r\n\r\nOK\r\n"));
  client.Write("AT+CSQ\r");
  const auto arrivals = client.ReadTimed("OK\r\n", 1000ms);
  ASSERT_GE(arrivals.size(), 2u);
  EXPECT_EQ(arrivals[0].bytes, "\r\n");
  EXPECT_EQ(Join(arrivals), "\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
}

// The program as a person runs it: flags, "port N", SIGTERM, then the transcript.
TEST(Program, PrintsItsPortServesAndStopsOnSigterm) {
  const auto program =
      std::filesystem::read_symlink("/proc/self/exe").parent_path() / "selvarn-modemsim";
  if (!std::filesystem::exists(program)) GTEST_SKIP() << program << " not built";
  TempDir dir;
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    execl(program.c_str(), "selvarn-modemsim", "--ports", dir.path.c_str(), "--port", "4",
          "--no-echo", "--sim", "pin", "--pin", "4321", "--transcript", nullptr);
    _exit(127);
  }
  close(out[1]);
  std::string printed;
  for (char c; read(out[0], &c, 1) == 1 && c != '\n';) printed += c;
  EXPECT_EQ(printed, "port 4");
  if (printed == "port 4") {
    Client client(dir.path + "/com4");
    EXPECT_TRUE(Answers(client, "AT+CPIN?\r", "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n"));
    EXPECT_TRUE(Answers(client, "AT+CPIN=4321\r", "\r\nOK\r\n"));
  }
  kill(pid, SIGTERM);
  char buf[4096];
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) {
    printed.append(buf, static_cast<std::size_t>(n));
  }
  close(out[0]);
  int status = -1;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_NE(printed.find(" ms host  AT+CPIN=4321<CR>\n"), std::string::npos) << printed;
  EXPECT_FALSE(std::filesystem::exists(dir.path + "/com4"));
}

}  // namespace
}  // namespace modemsim_test
