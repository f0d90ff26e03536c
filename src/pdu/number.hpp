// Recipient numbers as clients type them, made into the digit string the single-message
// senders hand to the PDU encoder.
#pragma once

#include <string>
#include <string_view>

namespace selvarn::pdu {

// Removes every "+" and "-"; a result that begins with "01" gets "6" in front (local
// mobile numbers become international ones). Nothing else is removed or validated.
std::string NormaliseNumber(std::string_view number);

}  // namespace selvarn::pdu
