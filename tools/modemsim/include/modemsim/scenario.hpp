// Scenario files: the simulator's settings, faults, stored messages and a timeline of
// arrivals as text, one directive a line. ScenarioHelp() (and the program's
// --help-scenario) lists them all with examples.
#pragma once

#include <istream>
#include <map>
#include <string>
#include <string_view>

#include "modemsim/settings.hpp"
#include "modemsim/simulator.hpp"

namespace selvarn::modemsim {

// Decodes C escapes (\r \n \t \\ \" \e \xNN \NNN ...); throws std::invalid_argument on a
// bad one.
std::string Unescape(std::string_view text);

// Applies directives one at a time; fault lines for one prefix add up to one fault.
class Scenario {
 public:
  explicit Scenario(Simulator& sim) : sim_(sim) {}
  // Throws std::invalid_argument for a bad line; a directive either applies whole or not.
  void Apply(std::string_view line);

 private:
  Simulator& sim_;
  std::map<std::string, Fault> faults_;
};

// Applies every line; throws std::runtime_error naming the line of the first bad one
// (the lines before it stay applied).
void ApplyScenario(Simulator& sim, std::istream& in);

// The format explained, with examples, as the program prints it.
std::string ScenarioHelp();

}  // namespace selvarn::modemsim
