// A text of any length as a concatenated message, part after part.
#include "messaging/long_send.hpp"

#include "log/log.hpp"
#include "messaging/submit.hpp"
#include "modem/modem.hpp"
#include "pdu/part_builder.hpp"
#include "selvarn/error.hpp"
#include "selvarn/sms.hpp"
#include "text/text.hpp"

namespace selvarn {

namespace messaging {

namespace {

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

std::vector<std::string> SplitMessage(std::string_view text) {
  const std::u16string units = text::Utf8ToUtf16(text);
  if (units.empty()) {
    throw RuntimeError(err::kInvalidCall,
                       "Invalid procedure call or argument: SendLMSText has no text to send");
  }
  std::vector<std::string> parts;
  std::u16string part;
  int septets = 0;
  for (std::size_t i = 0; i < units.size();) {
    const bool pair =
        IsHighSurrogate(units[i]) && i + 1 < units.size() && IsLowSurrogate(units[i + 1]);
    const std::size_t n = pair ? 2 : 1;
    const char32_t code =
        pair ? 0x10000 + ((units[i] - 0xD800u) << 10) + (units[i + 1] - 0xDC00u) : units[i];
    const int needed = pdu::CharacterSeptets(code);
    if (septets + needed > kPartSeptets || part.size() + n > kPartUnits) {
      if (static_cast<int>(parts.size()) + 1 == kMaxParts) {
        throw RuntimeError(err::kOverflow, "Overflow: SendLMSText needs more than " +
                                               std::to_string(kMaxParts) + " parts");
      }
      parts.push_back(text::Utf16ToUtf8(part));
      part.clear();
      septets = 0;
    }
    part.append(units, i, n);
    septets += needed;
    i += n;
  }
  parts.push_back(text::Utf16ToUtf8(part));
  return parts;
}

}  // namespace messaging

bool SMS::SendLMSText(std::string& strMobileNumber, std::string& strMessage,
                      std::int16_t& intMessageReference) {
  // All parts are cut before the first is logged or sent, so a text that cannot be sent
  // whole is refused whole.
  const std::vector<std::string> parts = messaging::SplitMessage(strMessage);
  const int total = static_cast<int>(parts.size());
  for (int k = 1; k <= total; ++k) {
    const std::string& part = parts[static_cast<std::size_t>(k - 1)];
    log::WriteEntry("Message Part: " + part);
    if (!pdu::BuildSubmitPDU(strMobileNumber, part, intMessageReference, total, k, pdu::kCoding7Bit,
                             "", 0, 0)) {
      return false;
    }
    std::string reply;
    // The prompt is not awaited for its own sake: the answer to the PDU decides.
    modem::Transact(modem::Ending::kPrompt, messaging::LengthCommand(pdu::last_pdu_octets), reply,
                    0);
    std::optional<std::string> reference;
    if (!messaging::SubmitBody(pdu::last_pdu, reference)) return false;
    if (reference) mr_ = std::move(*reference);
  }
  return true;
}

}  // namespace selvarn
