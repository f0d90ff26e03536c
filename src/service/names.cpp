// Which names and numbers the service accepts, for its configuration file and its API
// alike: they appear in URLs, metric labels and log lines as they are.
#include <algorithm>

#include "selvarn/service.hpp"

namespace selvarn::service {

bool IsPlainName(std::string_view s) {
  return !s.empty() && s.size() <= 64 && std::all_of(s.begin(), s.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
  });
}

bool IsNumber(std::string_view s, std::size_t max_digits) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  return !s.empty() && s.size() <= max_digits &&
         std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace selvarn::service
