#pragma once

#include <string_view>

namespace selvarn::Modem {

// Whether an answer to "AT+CREG?" reports registration, home (1) or roaming (5), in any
// reporting mode (0 to 3); the location fields of modes 2 and 3 may follow.
bool ReportsRegistration(std::string_view reply);

}  // namespace selvarn::Modem
