// Scenario files and the selvarn-modemsim program built on them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "client.hpp"
#include "modemsim/scenario.hpp"

namespace modemsim_test {
namespace {

using namespace std::chrono_literals;
using selvarn::modemsim::ApplyScenario;
using selvarn::modemsim::ModemState;
using selvarn::modemsim::SimState;
using selvarn::modemsim::Simulator;
using selvarn::modemsim::Unescape;

TEST(Unescape, DecodesCEscapes) {
  const std::pair<std::string, std::string> good[] = {
      {"plain text", "plain text"},
      {"\\r\\n+CREG: 0,2\\r\\n", "\r\n+CREG: 0,2\r\n"},
      {"\\x1a\\x1B", "\x1a\x1b"},
      {"\\x1A1",
       "\x1a"
       "1"},  // two hex digits at most
      {"\\032\\e", "\x1a\x1b"},
      {"\\101\\0", std::string("A\0", 2)},
      {"\\\\\\\"\\t", "\\\"\t"},
  };
  for (const auto& [text, bytes] : good) EXPECT_EQ(Unescape(text), bytes) << text;
  for (const char* bad : {"\\", "ab\\", "\\q", "\\x", "\\xg", "\\400"}) {
    EXPECT_THROW(Unescape(bad), std::invalid_argument) << bad;
  }
}

struct SettingCase {
  const char* text;
  std::function<void(const ModemState&)> check;
};

TEST(Scenario, SetsEverySetting) {
  const SettingCase cases[] = {
      {"set echo off", [](const ModemState& s) { EXPECT_FALSE(s.echo); }},
      {"  set   cmee 2  ", [](const ModemState& s) { EXPECT_EQ(s.cmee, 2); }},
      {"set sim puk", [](const ModemState& s) { EXPECT_EQ(s.sim, SimState::PukRequired); }},
      {"set sim absent", [](const ModemState& s) { EXPECT_EQ(s.sim, SimState::Absent); }},
      {"set pin 0000\nset puk 87654321",
       [](const ModemState& s) {
         EXPECT_EQ(s.pin, "0000");
         EXPECT_EQ(s.puk, "87654321");
         EXPECT_EQ(s.sim, SimState::Ready);
       }},
      {"set pin-tries 5",
       [](const ModemState& s) {
         EXPECT_EQ(s.pin_tries, 5);
         EXPECT_EQ(s.pin_tries_left, 5);
       }},
      {"set creg 2 5",
       [](const ModemState& s) {
         EXPECT_EQ(s.creg_mode, 2);
         EXPECT_EQ(s.creg_stat, 5);
       }},
      {"set location 0101 FFFE 2",
       [](const ModemState& s) {
         EXPECT_EQ(s.lac, "0101");
         EXPECT_EQ(s.ci, "FFFE");
         EXPECT_EQ(s.act, 2);
       }},
      {"set csq 0 7\r",
       [](const ModemState& s) {
         EXPECT_EQ(s.rssi, 0);
         EXPECT_EQ(s.ber, 7);
       }},
      {"# comment\n\nset csms-busy 3", [](const ModemState& s) { EXPECT_EQ(s.csms_busy, 3); }},
  };
  TempDir dir;
  for (const SettingCase& c : cases) {
    SCOPED_TRACE(c.text);
    Simulator sim({.port_folder = dir.path});
    std::istringstream in(c.text);
    ApplyScenario(sim, in);
    c.check(sim.State());
  }
}

TEST(Scenario, NamesTheBadLine) {
  const std::pair<const char*, const char*> cases[] = {
      {"set echo maybe", "line 1: expected on or off, not 'maybe'"},
      {"set echo on\nset volume 3", "line 2: unknown setting 'volume'"},
      {"set cmee 3", "line 1: cmee is 0, 1 or 2"},
      {"set creg 2", "line 1: missing state"},
      {"set csq -1 99", "line 1: bad rssi '-1'"},
      {"set sim locked", "line 1: SIM state is ready, pin, puk or absent, not 'locked'"},
      {"set speed 1234", "line 1: unsupported speed 1234"},
      {"set pin 1 2", "line 1: unexpected '2'"},
      {"fault AT+CSQ wobble", "line 1: unknown fault option 'wobble'"},
      {"fault AT+CSQ chunks 2,0 10", "line 1: bad chunk size '0'"},
      {"fault AT+CSQ literal \\q", "line 1: unknown escape \\q"},
      {"fault", "line 1: missing command prefix"},
      {"flood 10", "line 1: flood needs bytes"},
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
  EXPECT_EQ(client.Read(8), "\r\nRING\r\n");
  EXPECT_TRUE(Answers(client, "AT+CREG?\r", "\r\n+CREG: 0,2\r\n\r\nOK\r\n"));
  EXPECT_TRUE(Answers(client, "AT+CPIN?\r", "\r\n+CPIN: READY\r\n\r\nOK\r\n"));
  // The count of one ran out: the modem answers on its own again.
  EXPECT_TRUE(Answers(client, "AT+CPIN?\r", "\r\n+CPIN: READY\r\n\r\nOK\r\n"));
  client.Write("AT+CSQ\r");
  auto arrivals = client.ReadTimed("OK\r\n", 1000ms);
  ASSERT_GE(arrivals.size(), 2u);
  EXPECT_EQ(arrivals[0].bytes, "\r\n");
  EXPECT_EQ(Join(arrivals), "\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
}

// The program as a person runs it: flags, a scenario, "port N", SIGTERM, transcript.
class Program : public testing::Test {
 protected:
  void SetUp() override {
    program_ = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "selvarn-modemsim";
    if (!std::filesystem::exists(program_)) GTEST_SKIP() << program_ << " not built";
  }

  // Starts the program with its stdout on a pipe.
  pid_t Start(std::vector<std::string> args, int& out) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
      dup2(fds[1], 1);
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 2);
      std::vector<char*> argv{program_.data()};
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(program_.c_str(), argv.data());
      _exit(127);
    }
    close(fds[1]);
    out = fds[0];
    return pid;
  }

  static std::string ReadAll(int fd) {
    std::string all;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
      all.append(buf, static_cast<std::size_t>(n));
    close(fd);
    return all;
  }

  static int Wait(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string program_;
  TempDir dir_;
};

TEST_F(Program, ServesUntilStoppedThenPrintsTheTranscript) {
  const std::string scenario = dir_.path + "/scenario.txt";
  std::ofstream(scenario) << "fault AT+CSQ literal \\r\\n+CSQ: 0,0\\r\\n\\r\\nOK\\r\\n\n";
  int out = -1;
  pid_t pid = Start({"--ports", dir_.path + "/ports", "--port", "4", "--no-echo", "--sim", "pin",
                     "--pin", "4321", "--scenario", scenario, "--transcript"},
                    out);
  std::string first_line;
  for (char c; read(out, &c, 1) == 1 && c != '\n';) first_line += c;
  ASSERT_EQ(first_line, "port 4");
  {
    Client client(dir_.path + "/ports/com4");
    EXPECT_TRUE(Answers(client, "AT+CPIN?\r", "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n"));
    EXPECT_TRUE(Answers(client, "AT+CPIN=4321\r", "\r\nOK\r\n"));
    EXPECT_TRUE(Answers(client, "AT+CSQ\r", "\r\n+CSQ: 0,0\r\n\r\nOK\r\n"));
  }
  kill(pid, SIGTERM);
  const std::string rest = ReadAll(out);
  EXPECT_EQ(Wait(pid), 0);
  EXPECT_NE(rest.find(" ms host  AT+CPIN=4321<CR>\n"), std::string::npos) << rest;
  EXPECT_NE(rest.find(" ms modem <CR><LF>+CSQ: 0,0<CR><LF><CR><LF>OK<CR><LF>\n"), std::string::npos)
      << rest;
  EXPECT_FALSE(std::filesystem::exists(dir_.path + "/ports/com4"));
}

TEST_F(Program, RefusesBadInputWithoutLeavingALink) {
  const std::string scenario = dir_.path + "/bad.txt";
  std::ofstream(scenario) << "set echo sideways\n";
  const std::vector<std::string> bad[] = {
      {"--ports", dir_.path, "--scenario", scenario},
      {"--ports", dir_.path, "--speed", "1000"},
      {"--ports", dir_.path, "--cmee", "7"},
      {"--ports", dir_.path, "--sim", "broken"},
  };
  for (const auto& args : bad) {
    int out = -1;
    pid_t pid = Start(args, out);
    EXPECT_EQ(ReadAll(out), "") << args.back();
    EXPECT_NE(Wait(pid), 0) << args.back();
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.path + "/com1"));
}

}  // namespace
}  // namespace modemsim_test
