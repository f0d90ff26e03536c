// SIM PIN handling for the modem start-up.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace selvarn::Security {

// 0 SIM ready, 1 it asks for its PIN, 2 for its PUK, 3 error or no usable answer in 12 tries.
std::int32_t CheckPIN();
// 1 PIN accepted, 2 PIN wrong, 0 no usable answer. A PIN with a character outside the
// printable ASCII range is never sent (it could smuggle commands onto the line): 0.
std::int32_t EnterPIN(std::string PIN);

// Whether a PIN may go onto the wire: printable ASCII only.
bool IsSendablePIN(std::string_view pin);
// Classifies the answer to a PIN entry: "OK" 1; "+CME ERROR: 3" 1; "+CME ERROR: 16" 2;
// anything else, another error number or one cut short, 0.
std::int32_t ClassifyPINReply(std::string_view reply);

}  // namespace selvarn::Security
