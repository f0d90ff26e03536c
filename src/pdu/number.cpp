#include "pdu/number.hpp"

namespace selvarn::pdu {

std::string NormaliseNumber(std::string_view number) {
  std::string out;
  for (const char c : number) {
    if (c != '+' && c != '-') out += c;
  }
  if (out.starts_with("01")) out.insert(out.begin(), '6');
  return out;
}

}  // namespace selvarn::pdu
