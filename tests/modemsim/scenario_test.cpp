// Scenario files and the selvarn-modemsim program built on them.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <tuple>

#include "client.hpp"
#include "modemsim/scenario.hpp"

namespace modemsim_test {
namespace {

using selvarn::modemsim::ApplyScenario;
using selvarn::modemsim::MessageStatus;
using selvarn::modemsim::ModemState;
using selvarn::modemsim::SimState;
using selvarn::modemsim::Simulator;
using selvarn::modemsim::StoredMessage;

TEST(Scenario, AppliesEverySetting) {
  TempDir dir;
  Simulator sim({.port_folder = dir.path, .modem = {.echo = false}});
  std::istringstream in(
      "# comment\n\n  set   echo on  \nset cmee 2\nset pin 0000\nset puk 87654321\n"
      "set sim puk\nset pin-tries 5\nset creg 2 5\nset location 0101 FFFE 2\n"
      "set csq 0 7\r\nset csms-busy 3\nset speed 9600\nset first-index 0\nset capacity 5\n"
      "set own-number 07700900123\nset smsc +3212\nset outcome +4477 failed\n"
      "set outcome * 32\nset network-delay 250\nset cnmi 2 1 0 2 1\n"
      "set clock 24/02/29,23:59:59\nset clock-runs off\nset zone -20\n");
  ApplyScenario(sim, in);
  const ModemState s = sim.State();
  EXPECT_EQ(std::make_tuple(s.echo, s.cmee, s.sim, s.pin, s.puk, s.pin_tries, s.pin_tries_left),
            std::make_tuple(true, 2, SimState::PukRequired, "0000", "87654321", 5, 5));
  EXPECT_EQ(std::make_tuple(s.creg_mode, s.creg_stat, s.lac, s.ci, s.act, s.rssi, s.ber),
            std::make_tuple(2, 5, "0101", "FFFE", 2, 0, 7));
  EXPECT_EQ(std::make_tuple(s.csms_busy, s.speed, s.first_index, s.capacity, s.own_number, s.smsc),
            std::make_tuple(3, 9600, 0, 5, "07700900123", "+3212"));
  EXPECT_EQ(s.outcomes, (std::map<std::string, int>{{"+4477", 64}, {"*", 32}}));
  EXPECT_EQ(
      std::make_tuple(s.network_delay_ms, s.cnmi_mode, s.cnmi_mt, s.cnmi_bm, s.cnmi_ds, s.cnmi_bfr),
      std::make_tuple(250, 2, 1, 0, 2, 1));
  EXPECT_EQ(selvarn::modemsim::ClockText(s), "24/02/29,23:59:59-20");
}

// A bad line names itself and changes nothing.
TEST(Scenario, NamesTheBadLine) {
  const std::pair<const char*, const char*> cases[] = {
      {"set echo on\nset volume 3", "line 2: unknown setting 'volume'"},
      {"set creg 2", "line 1: set creg takes <mode> <stat>"},
      {"set creg 4 1", "line 1: mode is 0-3, not '4'"},
      {"set clock 24/13/01,00:00:00",
       "line 1: clock is yy/MM/dd,hh:mm:ss or host, not '24/13/01,00:00:00'"},
      {"set own-number Selvarn", "line 1: own number 'Selvarn' is not a phone number"},
      {"set outcome +44 lost",
       "line 1: outcome is delivered, deferred, failed or 0-255, not 'lost'"},
      {"fault AT+CSQ chunks 2,0 10", "line 1: bad chunk size '0'"},
      {"message text \xE2\x82", "line 1: text is not UTF-8"},
      {"message text \xE4\xB8\xAD", "line 1: '\xE4\xB8\xAD' is not in the GSM 7-bit alphabet"},
      {"message pdu 00GG", "line 1: a PDU is hex digits, not '00GG'"},
      {"at 10 message order 2 text x", "line 1: there is no part 2 of 1"},
      {"reboot", "line 1: unknown directive 'reboot'"},
  };
  for (const auto& [text, message] : cases) {
    TempDir dir;
    Simulator sim({.port_folder = dir.path, .modem = {.creg_mode = 1}});
    std::istringstream in(text);
    try {
      ApplyScenario(sim, in);
      ADD_FAILURE() << text << ": accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), "scenario " + std::string(message)) << text;
    }
    const ModemState s = sim.State();
    EXPECT_EQ(std::make_tuple(s.creg_mode, s.cnmi_ds, s.zone, s.sm.size(), s.in_transit.size()),
              std::make_tuple(1, 0, 4, 0u, 0u))
        << text;
  }
}

// Messages and reports stored up front, and a timeline of arrivals announced on time.
TEST(Scenario, PreloadsAndTimeline) {
  TempDir dir;
  Simulator sim({.port_folder = dir.path, .modem = {.echo = false}});
  std::istringstream in(
      "set clock 24/05/01,09:30:00\nset clock-runs off\nset cnmi 2 1 0 2 0\n"
      "message from +447700900001 text Hi\n"
      "message status read from Selvarn time 24/05/01,09:30:00-20 ucs2 text \\x20A\n"
      "message pdu 00040B915121551532F40000000000000000000000\n"
      "report ref 12 to +447700900001 status 0 done 24/05/01,09:30:02-20\n"
      "at 150 report pdu 0006\n"
      "at 100 message order 1 text Late\n");
  ApplyScenario(sim, in);
  Client client(sim.link_path());
  const auto arrivals = client.ReadTimed("+CDSI: \"SR\",2\r\n", 2000ms);
  ASSERT_EQ(arrivals.size(), 2u);
  EXPECT_EQ(arrivals[0].bytes, "\r\n+CMTI: \"SM\",4\r\n");
  EXPECT_GE(arrivals[0].ms, 90);
  EXPECT_EQ(arrivals[1].bytes, "\r\n+CDSI: \"SR\",2\r\n");
  EXPECT_GE(arrivals[1].ms, 140);
  const auto sm = sim.Messages("SM");
  ASSERT_EQ(sm.size(), 4u);
  const std::string smsc = "0791447758100650";
  EXPECT_EQ(sm[0].pdu, smsc + "040C9144770009001000004250109003004002C834");
  // "Selvarn" packed as an alphanumeric address: 13 semi-octets; " A" in UCS2.
  EXPECT_EQ(sm[1], (StoredMessage{2, MessageStatus::ReceivedRead,
                                  smsc + "040DD0D332DB1E96BB0100084250109003000A0400200041"}));
  EXPECT_EQ(sm[2].pdu + " " + sm[3].pdu.substr(52),
            "00040B915121551532F40000000000000000000000 04CC30BD0C");
  const auto sr = sim.Messages("SR");
  ASSERT_EQ(sr.size(), 2u);
  EXPECT_EQ(sr[0].pdu + " " + sr[1].pdu,
            smsc + "060C0C91447700090010425010900300404250109003200A00 0006");
}

TEST(Scenario, FaultsAndSendsReachTheWire) {
  TempDir dir;
  Simulator sim({.port_folder = dir.path, .modem = {.echo = false}});
  std::istringstream in(
      "fault AT+CREG? literal \\r\\n+CREG: 0,2\\r\\n\\r\\nOK\\r\\n  \n"
      "fault AT+CPIN? count 1 literal \\r\\n+CPIN:\n"
      "fault AT+CPIN? tail 50 \\x20READY\\r\\n\\r\\nOK\\r\\n\n"
      "fault AT+CSQ chunks 2 30 delay 20\n"
      "send 0 \\r\\nRING\\x39\\7/\\r\\n\n");
  ApplyScenario(sim, in);
  Client client(sim.link_path());
  // Hex and octal escapes end where their digits do.
  EXPECT_EQ(Join(client.ReadTimed("/\r\n", 1000ms)), "\r\nRING9\x07/\r\n");
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

std::filesystem::path Program() {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path() / "selvarn-modemsim";
}

// Runs the program to its end; what it printed.
std::string Output(const std::string& args) {
  FILE* pipe = popen((Program().string() + " " + args + " 2>&1").c_str(), "r");
  std::string out;
  char buf[4096];
  for (std::size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
  pclose(pipe);
  return out;
}

// Every entry of the settings table is a flag and a scenario line, explained with examples.
TEST(Program, HelpShowsEverySettingWithExamples) {
  if (!std::filesystem::exists(Program())) GTEST_SKIP() << Program() << " not built";
  const std::string help = Output("--help");
  const std::string scenario = Output("--help-scenario");
  for (const auto& setting : selvarn::modemsim::Settings()) {
    const std::string name(setting.name);
    EXPECT_NE(help.find("--" + name + " " + std::string(setting.params)), std::string::npos)
        << name;
    EXPECT_NE(scenario.find("set " + name + " " + std::string(setting.params)), std::string::npos)
        << name;
  }
  for (const auto& profile : selvarn::modemsim::Profiles()) {
    const std::string name(profile.name);
    EXPECT_NE(help.find("  " + name + ": "), std::string::npos) << name;
    EXPECT_NE(scenario.find("profile " + name + " "), std::string::npos) << name;
  }
  EXPECT_NE(help.find("--do 'message from +447700900001 text Hello there'"), std::string::npos);
  EXPECT_NE(scenario.find("Example:\n  set sim pin\n"), std::string::npos);
  EXPECT_EQ(Output("--zone +99"), "selvarn-modemsim: --zone: zone is 0-79, not '+99'\n");
  EXPECT_TRUE(Output("--profile nokia").starts_with("selvarn-modemsim: unknown profile 'nokia'"));
}

}  // namespace
}  // namespace modemsim_test
