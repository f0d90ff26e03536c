#include "text_args.hpp"

#include <algorithm>

#include "messaging/extension_parts.hpp"
#include "messaging/long_send.hpp"
#include "selvarn/error.hpp"
#include "text/gsm_alphabet.hpp"
#include "text/text.hpp"

namespace selvarn::cli {

std::optional<std::string> ReadText(std::istream& in, std::size_t most) {
  // Room for the line break that is dropped, and one byte more to see that there is more.
  const std::size_t room = most + 3;
  std::string text;
  text.resize(room);
  in.read(text.data(), static_cast<std::streamsize>(room));
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (text.ends_with("\r\n")) {
    text.resize(text.size() - 2);
  } else if (text.ends_with('\n')) {
    text.pop_back();
  }
  if (text.size() > most) return std::nullopt;
  return text;
}

std::size_t MostTextBytes() {
  return 4 * messaging::kMostParts * std::max(messaging::kLongSeptets, messaging::kLongUnits);
}

std::optional<std::string> RecipientProblem(std::string_view number) {
  std::size_t digits = 0;
  for (std::size_t i = 0; i < number.size(); ++i) {
    const char c = number[i];
    if (c >= '0' && c <= '9') {
      ++digits;
    } else if (!(c == '-' || (c == '+' && i == 0))) {
      return "the number \"" + std::string(number) +
             "\" may hold only digits, a leading + and dashes";
    }
  }
  // The address field holds at most 20 digits (3GPP TS 23.040 9.1.2.5).
  if (digits == 0 || digits > 20) {
    return "the number \"" + std::string(number) + "\" must have 1 to 20 digits";
  }
  return std::nullopt;
}

bool IsPin(std::string_view pin) {
  if (pin.size() < 4 || pin.size() > 8) return false;
  for (const char c : pin) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

SendPlan PlanSend(std::string_view utf8, bool unicode) {
  const std::u16string units = text::Utf8ToUtf16(utf8);
  SendPlan plan;
  plan.unicode = unicode;
  if (unicode) {
    plan.length = units.size();
    return plan;
  }
  for (std::size_t i = 0; i < units.size(); ++i) {
    const gsm::Septets s = gsm::FromUnicode(units[i]);
    // A character beyond the BMP goes out as one "?" (the text is well-formed UTF-16).
    if (units[i] >= 0xD800 && units[i] <= 0xDBFF) ++i;
    plan.length += s.count == 0 ? 1 : s.count;
    plan.unmapped += s.count == 0 ? 1 : 0;
  }
  if (plan.length > kGsmSingle) {
    // Long parts go through the host code page first: what it lacks is lost as well.
    plan.long_message = true;
    try {
      plan.parts = messaging::SplitMessage(utf8).size();
    } catch (const RuntimeError&) {
      plan.parts = 0;  // more than a long message can have
    }
    plan.unmapped = 0;
    for (const char16_t c : units) {
      const int code = text::AnsiCode(c);
      if ((code == '?' && c != u'?') ||
          gsm::FromUnicode(text::FromAnsi(static_cast<std::uint8_t>(code))).count == 0) {
        ++plan.unmapped;
      }
    }
  }
  return plan;
}

}  // namespace selvarn::cli
