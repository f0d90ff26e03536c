#include "pdu/msisdn.hpp"

namespace selvarn::MSISDN {

std::string NormaliseMSISDN(std::string_view number) {
  std::string out;
  for (const char c : number) {
    if (c != '+' && c != '-') out += c;
  }
  if (out.starts_with("01")) out.insert(out.begin(), '6');
  return out;
}

}  // namespace selvarn::MSISDN
