// What the readers hand to a receive hook.
#pragma once

#include <optional>
#include <string>

#include "pdu/tpdu.hpp"
#include "selvarn/sms.hpp"

namespace selvarn::messaging {

std::optional<Concatenation> ToConcatenation(const std::optional<pdu::Concatenation>& c);

// A text-mode report's fields as the hook gets them; the reference and the status must
// be numbers 0-255 (RuntimeError 5 otherwise, which the report reader turns into false).
ReceivedReport MakeReport(int index, const std::string& reference, std::string recipient,
                          std::string submitted, std::string discharged, const std::string& status);

}  // namespace selvarn::messaging
