// selvarn-modemsim: a GSM modem on a pseudo-terminal for trying the library, its
// command-line tool or a script without hardware.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <iostream>

#include "modemsim/scenario.hpp"
#include "modemsim/simulator.hpp"

namespace sim = selvarn::modemsim;

namespace {

int Run(int argc, char** argv) {
  CLI::App app{
      "Simulates a GSM modem (3GPP 27.007 / 27.005 AT commands) on a pseudo-terminal.\n"
      "It links the terminal as comN in the port folder, prints \"port N\" and serves\n"
      "until Ctrl-C. Then point the library at port N, for example:\n"
      "  selvarn-modemsim --sim pin --pin 1234 &   # prints: port 1\n"
      "  # InitModem(1, \"1234\") now finds a modem whose SIM wants PIN 1234\n"
      "Faults and timings beyond these options go in a scenario file (--scenario);\n"
      "see --help-scenario for its format.",
      "selvarn-modemsim"};
  sim::Options options;
  std::string sim_state = "ready";
  std::string scenario;
  bool no_echo = false;
  bool print_transcript = false;
  bool help_scenario = false;
  sim::ModemState& m = options.modem;

  app.add_option("--ports", options.port_folder,
                 "Port folder for the link comN (default: $SELVARN_SMS_PORTS, else "
                 "$XDG_CONFIG_HOME/selvarn-sms/ports or ~/.config/selvarn-sms/ports)");
  app.add_option("--port", options.port, "Port number N (default: the first free one from 1)")
      ->check(CLI::Range(0, 32767));
  app.add_flag("--no-echo", no_echo, "Start with echo off (ATE0)");
  app.add_option("--cmee", m.cmee, "Error reporting: 0 ERROR, 1 numbers, 2 texts")
      ->check(CLI::Range(0, 2))
      ->capture_default_str();
  app.add_option("--sim", sim_state, "SIM state: ready, pin, puk or absent")
      ->check(CLI::IsMember({"ready", "pin", "puk", "absent"}))
      ->capture_default_str();
  app.add_option("--pin", m.pin, "The SIM's PIN")->capture_default_str();
  app.add_option("--puk", m.puk, "The SIM's PUK")->capture_default_str();
  app.add_option("--pin-tries", m.pin_tries, "Wrong PINs before the SIM asks for its PUK")
      ->check(CLI::Range(1, 99))
      ->capture_default_str();
  app.add_option("--creg-mode", m.creg_mode, "Registration reporting mode (AT+CREG=n)")
      ->check(CLI::Range(0, 3))
      ->capture_default_str();
  app.add_option("--creg-stat", m.creg_stat,
                 "Registration state: 0 none, 1 home, 2 searching, 3 denied, 5 roaming")
      ->check(CLI::Range(0, 10))
      ->capture_default_str();
  app.add_option("--rssi", m.rssi, "Signal level answered to AT+CSQ (0-31, 99)")
      ->capture_default_str();
  app.add_option("--ber", m.ber, "Bit error rate answered to AT+CSQ (0-7, 99)")
      ->capture_default_str();
  app.add_option("--csms-busy", m.csms_busy,
                 "Answer AT+CSMS with +CMS ERROR: 515 (SIM busy) this many times first")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--speed", options.speed,
                 "Fixed line speed in bit/s: silent while the port is set otherwise (0: any)")
      ->capture_default_str();
  app.add_option("--scenario", scenario, "Scenario file with settings and faults")
      ->check(CLI::ExistingFile);
  app.add_flag("--transcript", print_transcript,
               "Print every byte exchanged, with times, when stopped");
  app.add_flag("--help-scenario", help_scenario, "Explain the scenario file format");
  CLI11_PARSE(app, argc, argv);

  if (help_scenario) {
    std::cout <<
        R"(A scenario file holds one directive a line; # starts a comment.
  set echo on|off              set cmee 0|1|2
  set sim ready|pin|puk|absent set pin <pin>   set puk <puk>   set pin-tries <n>
  set creg <mode> <stat>       set location <lac> <ci> <act>
  set csq <rssi> <ber>         set csms-busy <n>               set speed <bit/s>
  fault <command prefix> <option>...   applies to lines starting so (case-blind):
      count <k>                only the next k such lines (default: all)
      delay <ms>               answer late
      silent                   no answer (the command is not run)
      noecho                   no echo of the line either
      chunks <n,n,...> <ms>    answer in pieces of these sizes, <ms> apart
      literal <bytes>          these bytes instead of the answer (rest of the line)
      tail <ms> <bytes>        extra bytes <ms> after the answer (rest of the line)
  send <ms> <bytes>            unsolicited bytes <ms> after start
  flood <ms> <bytes>           the bytes again and again, every <ms>, without end
Bytes take C escapes: \r \n \t \\ \e \xNN \NNN. Blanks around them are dropped;
write \x20 for one that matters. Several fault lines for one prefix add up.
Example:
  set sim pin
  set csms-busy 2
  fault AT+CSQ delay 1500
  fault AT+CREG? literal \r\n+CREG: 0,2\r\n\r\nOK\r\n
)";
    return 0;
  }
  m.echo = !no_echo;
  m.sim = sim::ParseSimState(sim_state);

  // The serving thread inherits this mask, so the signals reach sigwait below only.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  try {
    sim::Simulator simulator(options);
    if (!scenario.empty()) {
      std::ifstream in(scenario);
      sim::ApplyScenario(simulator, in);
    }
    std::printf("port %d\n", simulator.port());
    std::fflush(stdout);
    std::fprintf(stderr, "selvarn-modemsim: %s -> %s; Ctrl-C stops\n",
                 simulator.link_path().c_str(), simulator.device_path().c_str());
    int signal = 0;
    sigwait(&stop_signals, &signal);
    if (print_transcript) {
      std::fputs(simulator.PrintableTranscript().c_str(), stdout);
      std::fflush(stdout);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "selvarn-modemsim: %s\n", e.what());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "selvarn-modemsim: %s\n", e.what());
    return 1;
  }
}
