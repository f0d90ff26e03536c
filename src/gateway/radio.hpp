// Reading the modem's answers about its radio link, apart from asking, so that the
// readers are tested on replies captured from real modems.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace selvarn::gateway {

// The received signal of an AT+CSQ answer ("+CSQ: 17,99"): 0-31; nullopt for 99 (not
// known), a value out of range or no such line.
std::optional<int> SignalOf(std::string_view reply);

// The registration of an AT+CREG? answer, in words: "home", "roaming", "searching",
// "denied", "none" or "unknown". Takes the answer's form (+CREG: n,stat[,lac,ci[,act]]) and
// the unsolicited form some modems give instead (+CREG: stat[,lac,ci[,act]]).
std::string RegistrationOf(std::string_view reply);

}  // namespace selvarn::gateway
