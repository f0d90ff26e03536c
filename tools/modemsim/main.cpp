// selvarn-modemsim: a GSM modem on a pseudo-terminal for trying the library, its
// command-line tool or a script without hardware.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>

#include "modemsim/scenario.hpp"
#include "modemsim/settings.hpp"
#include "modemsim/simulator.hpp"

namespace sim = selvarn::modemsim;

namespace {

constexpr const char* kDescription =
    "Simulates a GSM modem (3GPP 27.007 / 27.005 AT commands, SMS in PDU and text mode)\n"
    "on a pseudo-terminal. It links the terminal as comN in the port folder, prints\n"
    "\"port N\" and serves until Ctrl-C. Point the library at port N.";

constexpr const char* kExamples = R"(
Examples:
  selvarn-modemsim
      a ready modem; prints "port 1": InitModem(1) starts it
  selvarn-modemsim --sim pin --pin 1234
      a SIM that wants PIN 1234: InitModem(1, "1234")
  selvarn-modemsim --own-number +447700900123 --cnmi 2 1 0 2 0
      messages sent to +447700900123 come back into SM, announced with +CMTI
  selvarn-modemsim --do 'message from +447700900001 text Hello there'
      a message waiting in SM for ReadSMS (--do takes any scenario line)
  selvarn-modemsim --outcome '*' failed --do 'report ref 7 status 48'
      every recipient fails; one status report is already waiting in SR
  selvarn-modemsim --profile me-storage --profile signal-notices --own-number +447700900123
      a modem that keeps messages in ME and reports its signal every 300 ms
  selvarn-modemsim --scenario my.scn --transcript
      settings, messages and faults from a file; every byte printed at the end
See --help-scenario for the scenario lines and everything they can do.
)";

struct Program {
  sim::Options options;
  std::map<std::string, std::vector<std::string>> settings;  // by name, words as given
  std::string scenario;
  std::vector<std::string> lines;
  std::vector<std::string> profiles;
  bool no_echo = false;
  bool transcript = false;
  bool help_scenario = false;
};

// One flag per entry of the settings table, taking the same words as its `set` line.
void AddSettingFlags(CLI::App& app, Program& p) {
  const sim::ModemState defaults;
  for (const sim::Setting& s : sim::Settings()) {
    const std::string name(s.name);
    app.add_option("--" + name, p.settings[name],
                   std::string(s.help) + " (default: " + s.show(defaults) + ")")
        ->type_size(-static_cast<int>(s.words))  // these many words, as often as given
        ->type_name(std::string(s.params))
        ->group("Modem settings");
  }
  app.add_flag("--no-echo", p.no_echo, "Start with echo off, as --echo off")
      ->group("Modem settings");
}

void AddFlags(CLI::App& app, Program& p) {
  app.add_option("--ports", p.options.port_folder,
                 "Port folder for the link comN (default: $SELVARN_SMS_PORTS, else "
                 "$XDG_CONFIG_HOME/selvarn-sms/ports or ~/.config/selvarn-sms/ports)");
  app.add_option("--port", p.options.port, "Port number N (default: the first free one from 1)")
      ->check(CLI::Range(0, 32767));
  app.add_option("--scenario", p.scenario, "Scenario file: settings, messages, faults, timeline")
      ->check(CLI::ExistingFile);
  app.add_option("--do", p.lines, "A scenario line, after the file; may be repeated")
      ->type_name("LINE");
  std::string profiles = "Habits of real modem families, before the settings; may be repeated:";
  for (const sim::Profile& profile : sim::Profiles()) {
    profiles += "\n  " + std::string(profile.name) + ": " + std::string(profile.help) + " (--" +
                std::string(profile.setting) + " " + std::string(profile.value) + ")";
  }
  app.add_option("--profile", p.profiles, profiles)->type_name("NAME");
  app.add_flag("--transcript", p.transcript,
               "Print every byte exchanged, with times, when stopped");
  app.add_flag("--help-scenario", p.help_scenario, "Explain the scenario lines, with examples");
  AddSettingFlags(app, p);
}

// Flags become the modem's power-on state, so that ATZ comes back to them.
void ApplySettingFlags(Program& p) {
  for (const std::string& profile : p.profiles) sim::ApplyProfile(p.options.modem, profile);
  if (p.no_echo) p.options.modem.echo = false;
  for (const sim::Setting& s : sim::Settings()) {
    const std::vector<std::string>& words = p.settings[std::string(s.name)];
    for (std::size_t at = 0; at + s.words <= words.size(); at += s.words) {
      const std::vector<std::string> one(words.begin() + static_cast<std::ptrdiff_t>(at),
                                         words.begin() + static_cast<std::ptrdiff_t>(at + s.words));
      try {
        sim::ApplySetting(p.options.modem, s.name, one);
      } catch (const std::invalid_argument& e) {
        throw std::invalid_argument("--" + std::string(s.name) + ": " + e.what());
      }
    }
  }
}

void ApplyScenarioFlags(sim::Simulator& simulator, const Program& p) {
  if (!p.scenario.empty()) {
    std::ifstream in(p.scenario);
    sim::ApplyScenario(simulator, in);
  }
  sim::Scenario scenario(simulator);
  for (const std::string& line : p.lines) {
    try {
      scenario.Apply(line);
    } catch (const std::exception& e) {
      throw std::runtime_error("--do '" + line + "': " + e.what());
    }
  }
}

// Serves until SIGINT or SIGTERM.
int Serve(const Program& p) {
  // The serving thread inherits this mask, so the signals reach sigwait below only.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  sim::Simulator simulator(p.options);
  ApplyScenarioFlags(simulator, p);
  std::printf("port %d\n", simulator.port());
  std::fflush(stdout);
  std::fprintf(stderr, "selvarn-modemsim: %s -> %s; Ctrl-C stops\n", simulator.link_path().c_str(),
               simulator.device_path().c_str());
  int signal = 0;
  sigwait(&stop_signals, &signal);
  if (p.transcript) {
    std::fputs(simulator.PrintableTranscript().c_str(), stdout);
    std::fflush(stdout);
  }
  return 0;
}

int Run(int argc, char** argv) {
  CLI::App app{kDescription, "selvarn-modemsim"};
  app.footer(kExamples);
  // The simulator ships with the library and carries its version.
  app.set_version_flag("--version", "selvarn-modemsim " SELVARN_VERSION,
                       "Print the version and exit");
  Program p;
  AddFlags(app, p);
  CLI11_PARSE(app, argc, argv);
  if (p.help_scenario) {
    std::cout << sim::ScenarioHelp();
    return 0;
  }
  try {
    ApplySettingFlags(p);
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "selvarn-modemsim: %s\n", e.what());
    return 2;
  }
  return Serve(p);
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
