#include "selvarn/sms.hpp"

#include <charconv>
#include <limits>

#include "text/trim.hpp"

namespace selvarn {

DeliveryStatus SMS::DRStatus() const {
  // The text goes back through a number conversion: blanks around it are allowed, as a
  // typed-in "2 " would be; anything else is a type mismatch.
  std::string_view s = text::TrimSpaces(dr_status_);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  long long value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (s.empty() || end != s.data() + s.size() || ec == std::errc::invalid_argument) {
    throw RuntimeError(err::kTypeMismatch, "Type mismatch: DRStatus holds \"" + dr_status_ + "\"");
  }
  if (ec == std::errc::result_out_of_range || value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    throw RuntimeError(err::kOverflow, "Overflow: DRStatus holds \"" + dr_status_ + "\"");
  }
  return static_cast<DeliveryStatus>(value);
}

void SMS::DRStatus(std::int32_t v) { dr_status_ = std::to_string(v); }

}  // namespace selvarn
