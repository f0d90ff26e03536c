#include "modem/security.hpp"

#include <exception>

#include "modem/modem.hpp"

namespace selvarn::Security {
namespace {

using Modem::Has;

constexpr int kStatusTries = 12;

}  // namespace

std::int32_t CheckPIN() {
  try {
    for (int i = 0; i < kStatusTries; ++i) {
      std::string reply;
      if (!Modem::ATCommand1("AT+CPIN?", reply, 0)) continue;
      if (Has(reply, "READY")) return 0;
      if (Has(reply, "SIM PIN")) return 1;
      if (Has(reply, "SIM PUK")) return 2;
      if (Has(reply, "ERROR")) return 3;
    }
    return 3;
  } catch (const std::exception&) {
    return 3;
  }
}

bool IsSendablePIN(std::string_view pin) {
  for (const char c : pin) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 32 || b > 126) return false;
  }
  return true;
}

std::int32_t ClassifyPINReply(std::string_view reply) {
  if (Has(reply, "OK")) return 1;
  constexpr std::string_view kError = "+CME ERROR: ";
  const auto at = reply.find(kError);
  if (at == std::string_view::npos) return 0;
  // The whole number counts: 30 or 160 are other errors, and a number that the wait cut
  // short (no line end after it yet) is no usable answer.
  std::string_view rest = reply.substr(at + kError.size());
  std::size_t digits = 0;
  while (digits < rest.size() && digits < 6 && rest[digits] >= '0' && rest[digits] <= '9') ++digits;
  if (digits == 0 || digits == rest.size() || digits == 6) return 0;
  const std::string_view number = rest.substr(0, digits);
  if (number == "3") return 1;
  if (number == "16") return 2;
  return 0;
}

std::int32_t EnterPIN(std::string PIN) {
  try {
    if (!IsSendablePIN(PIN)) return 0;
    std::string reply;
    Modem::ATCommand("AT+CPIN=" + PIN, reply, 0);
    return ClassifyPINReply(reply);
  } catch (const std::exception&) {
    return 0;
  }
}

}  // namespace selvarn::Security
