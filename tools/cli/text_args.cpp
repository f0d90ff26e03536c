#include "text_args.hpp"

#include <algorithm>

#include "selvarn/text.hpp"

namespace selvarn::cli {

std::optional<std::string> ReadText(std::istream& in, std::size_t most) {
  // Room for the line break that is dropped, and one byte more to see that there is more.
  const std::size_t room = most + 3;
  std::string text;
  text.resize(room);
  in.read(text.data(), static_cast<std::streamsize>(room));
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (text.ends_with("\r\n")) {
    text.resize(text.size() - 2);
  } else if (text.ends_with('\n')) {
    text.pop_back();
  }
  if (text.size() > most) return std::nullopt;
  return text;
}

std::size_t MostTextBytes() {
  const LongMessageLimits most = LongLimits();
  return 4 * static_cast<std::size_t>(most.parts) *
         static_cast<std::size_t>(std::max(most.septets, most.units));
}

std::optional<std::string> RecipientProblem(std::string_view number) {
  std::size_t digits = 0;
  for (std::size_t i = 0; i < number.size(); ++i) {
    const char c = number[i];
    if (c >= '0' && c <= '9') {
      ++digits;
    } else if (!(c == '-' || (c == '+' && i == 0))) {
      return "the number \"" + std::string(number) +
             "\" may hold only digits, a leading + and dashes";
    }
  }
  // The address field holds at most 20 digits (3GPP TS 23.040 9.1.2.5).
  if (digits == 0 || digits > 20) {
    return "the number \"" + std::string(number) + "\" must have 1 to 20 digits";
  }
  return std::nullopt;
}

bool IsPin(std::string_view pin) {
  if (pin.size() < 4 || pin.size() > 8) return false;
  for (const char c : pin) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace selvarn::cli
