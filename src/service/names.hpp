// What may name a modem or a tag: it appears in URLs, metric labels and log lines as is.
#pragma once

#include <algorithm>
#include <string_view>

namespace selvarn::service {

inline bool IsPlainName(std::string_view s) {
  return !s.empty() && s.size() <= 64 && std::all_of(s.begin(), s.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
  });
}

// A destination or a prefix of one: digits with an optional leading '+'.
inline bool IsNumber(std::string_view s, std::size_t max_digits = 20) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  return !s.empty() && s.size() <= max_digits &&
         std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace selvarn::service
