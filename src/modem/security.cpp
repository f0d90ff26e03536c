#include "modem/security.hpp"

#include <exception>
#include <optional>

#include "modem/modem.hpp"
#include "modem/replies.hpp"

namespace selvarn::Security {
namespace {

constexpr int kStatusTries = 12;
constexpr std::size_t kShortestPIN = 4;
constexpr std::size_t kLongestPIN = 8;

}  // namespace

std::int32_t CheckPIN() {
  try {
    for (int i = 0; i < kStatusTries; ++i) {
      std::string reply;
      if (!Modem::ATCommand1("AT+CPIN?", reply, 0)) continue;
      if (const std::optional<std::int32_t> status = Replies::ClassifyPINStatus(reply)) {
        return *status;
      }
    }
    return kSimFailed;
  } catch (const std::exception&) {
    return kSimFailed;
  }
}

bool IsSendablePIN(std::string_view pin) {
  if (pin.size() < kShortestPIN || pin.size() > kLongestPIN) return false;
  for (const char c : pin) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::int32_t EnterPIN(std::string PIN) {
  try {
    if (!IsSendablePIN(PIN)) return kPinNoAnswer;
    std::string reply;
    Modem::ATCommand("AT+CPIN=" + PIN, reply, 0);
    return Replies::ClassifyPINReply(reply);
  } catch (const std::exception&) {
    return kPinNoAnswer;
  }
}

}  // namespace selvarn::Security
