// The simulator's settable state as one table. Each entry names a setting, says what it
// takes and means, and parses and applies it; the C++ setters, the scenario files' `set`
// lines, the program's flags and its help are all made from this table, so a new
// setting is one entry.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "modemsim/modem.hpp"

namespace selvarn::modemsim {

struct Setting {
  std::string_view name;    // "set <name> ..." and "--<name> ..."
  std::string_view params;  // the words it takes, e.g. "<mode> <stat>"
  std::string_view help;
  std::size_t words;  // how many
  // Parses the words and changes the state; throws std::invalid_argument on a bad word.
  void (*apply)(ModemState& state, const std::vector<std::string>& words);
  // The current value, as the words that would set it.
  std::string (*show)(const ModemState& state);
};

std::span<const Setting> Settings();

// A habit of a family of real modems, as the one setting that gives it.
struct Profile {
  std::string_view name;  // "--profile <name>", "profile <name>"
  std::string_view help;  // what the modem then does
  std::string_view setting;
  std::string_view value;
};

std::span<const Profile> Profiles();
// Applies a profile's setting; throws std::invalid_argument for an unknown name.
void ApplyProfile(ModemState& state, std::string_view name);
const Setting* FindSetting(std::string_view name);

// Applies setting `name`; throws std::invalid_argument for an unknown name, a wrong
// number of words or a bad value (the state is then unchanged).
void ApplySetting(ModemState& state, std::string_view name, const std::vector<std::string>& words);

// The word of each SIM state: ready, pin, puk, absent.
std::string_view SimStateName(SimState state);
SimState ParseSimState(std::string_view word);

}  // namespace selvarn::modemsim
