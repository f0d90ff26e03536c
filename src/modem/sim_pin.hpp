// SIM PIN handling for the modem start-up.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace selvarn::modem::sim_pin {

// What CheckPIN reports.
inline constexpr std::int32_t kSimReady = 0;
inline constexpr std::int32_t kPinNeeded = 1;
inline constexpr std::int32_t kPukNeeded = 2;
inline constexpr std::int32_t kSimFailed = 3;  // an error, or no usable answer in 12 tries

// What EnterPIN reports.
inline constexpr std::int32_t kPinNoAnswer = 0;
inline constexpr std::int32_t kPinAccepted = 1;
inline constexpr std::int32_t kPinRejected = 2;

// Asks the SIM's status, up to 12 times until an answer names it.
std::int32_t CheckPIN();
// Enters the PIN. One that is not a SIM PIN is never sent: kPinNoAnswer.
std::int32_t EnterPIN(std::string PIN);

// SIM PINs are 4 to 8 decimal digits. Anything else could carry a second command onto the
// line, and one of the wrong length would only spend one of the SIM's few tries.
bool IsSendablePIN(std::string_view pin);

}  // namespace selvarn::modem::sim_pin
