#include "modem/sim_pin.hpp"

#include <exception>
#include <optional>

#include "modem/answers.hpp"
#include "modem/modem.hpp"

namespace selvarn::modem::sim_pin {
namespace {

constexpr int kStatusTries = 12;
constexpr std::size_t kShortestPIN = 4;
constexpr std::size_t kLongestPIN = 8;

}  // namespace

std::int32_t CheckPIN() {
  try {
    for (int i = 0; i < kStatusTries; ++i) {
      std::string reply;
      if (!modem::Transact(modem::Ending::kInfoLine, "AT+CPIN?", reply, 0)) continue;
      if (const std::optional<std::int32_t> status = modem::answers::ClassifyPINStatus(reply)) {
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
    modem::Transact(modem::Ending::kFinalResult, "AT+CPIN=" + PIN, reply, 0);
    return modem::answers::ClassifyPINReply(reply);
  } catch (const std::exception&) {
    return kPinNoAnswer;
  }
}

}  // namespace selvarn::modem::sim_pin
