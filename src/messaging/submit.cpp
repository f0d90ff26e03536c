#include "messaging/submit.hpp"

#include <chrono>

#include "modem/answers.hpp"
#include "modem/modem.hpp"
#include "platform/port_host.hpp"

namespace selvarn::messaging {

namespace {

constexpr std::chrono::seconds kCancelLimit{2};

}  // namespace

std::string LengthCommand(int octets) { return "AT+CMGS=" + std::to_string(octets) + "\r"; }

bool SubmitBody(const std::string& pdu, std::optional<std::string>& reference, std::int16_t limit,
                std::string* reply) {
  std::string own;
  std::string& answer = reply != nullptr ? *reply : own;
  answer.clear();
  if (!modem::Transact(modem::Ending::kFinalResult, pdu + '\x1a', answer, limit)) return false;
  reference = ReferenceIn(answer);
  return true;
}

std::optional<std::string> ReferenceIn(std::string_view reply) {
  const std::int16_t at = modem::answers::Find(reply, "+CMGS");
  if (at == 0) return std::nullopt;
  const std::int16_t ok = modem::answers::Find(reply, "OK", at);
  if (ok == 0) return std::nullopt;
  return modem::answers::Trim(modem::answers::Mid(reply, at + 6, ok - at - 6));
}

void CancelPrompt() {
  // The CR makes the ESC a line of its own for a modem that was not in PDU input after
  // all (it answered the length line with an error): it ignores the line instead of
  // taking the ESC as the start of the next command.
  platform::ThreadPort().port.Output("\x1b\r");
  modem::DropThroughFinalResult(kCancelLimit);
}

}  // namespace selvarn::messaging
