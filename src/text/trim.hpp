// Blanks around a field: only the space character counts, as in the modem's replies and
// the texts people type into settings.
#pragma once

#include <string_view>

namespace selvarn::text {

constexpr std::string_view TrimSpaces(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

}  // namespace selvarn::text
