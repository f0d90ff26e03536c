// Scenario files: the simulator's settings and faults as text, one directive a line.
//
//   # comment; blank lines are skipped
//   set echo on|off
//   set cmee 0|1|2
//   set sim ready|pin|puk|absent
//   set pin <pin>            set puk <puk>            set pin-tries <n>
//   set creg <mode> <stat>   set location <lac> <ci> <act>
//   set csq <rssi> <ber>     set csms-busy <n>        set speed <bit/s, 0 = any>
//   fault <prefix> <option>...      options, any number, in any order:
//       count <k>  delay <ms>  silent  noecho  chunks <n,n,...> <pause-ms>
//       literal <bytes>  tail <ms> <bytes>   (these two take the rest of the line)
//   send <ms> <bytes>        unsolicited bytes, <ms> after the scenario is applied
//   flood <interval-ms> <bytes>
//
// Several fault lines for one prefix add up to one fault. <bytes> take C escapes
// (\r \n \t \\ \" \e \xNN \NNN); blanks around them are dropped, write \x20 for one
// that matters. Example:  fault AT+CREG? literal \r\n+CREG: 0,2\r\n\r\nOK\r\n
#pragma once

#include <istream>
#include <string>
#include <string_view>

#include "modemsim/simulator.hpp"

namespace selvarn::modemsim {

// Decodes C escapes; throws std::invalid_argument on a bad one.
std::string Unescape(std::string_view text);

// Applies every directive; throws std::runtime_error naming the line of the first
// bad one (directives before it stay applied).
void ApplyScenario(Simulator& sim, std::istream& in);

SimState ParseSimState(std::string_view word);  // ready|pin|puk|absent

}  // namespace selvarn::modemsim
