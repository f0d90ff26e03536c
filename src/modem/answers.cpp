#include "modem/answers.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <string>

#include "modem/sim_pin.hpp"
#include "selvarn/error.hpp"
#include "text/trim.hpp"

namespace selvarn::modem::answers {
namespace {

constexpr int kMaxPosition = std::numeric_limits<std::int16_t>::max();

}  // namespace

std::int16_t Find(std::string_view text, std::string_view what, int start) {
  if (start < 1) {
    throw RuntimeError(err::kInvalidCall,
                       "Invalid procedure call or argument: search from " + std::to_string(start));
  }
  const auto at = text.find(what, static_cast<std::size_t>(start - 1));
  if (at == std::string_view::npos) return 0;
  if (at >= static_cast<std::size_t>(kMaxPosition)) {
    throw RuntimeError(err::kOverflow,
                       "Overflow: \"" + std::string(what) + "\" found beyond position 32767");
  }
  return static_cast<std::int16_t>(at + 1);
}

std::string Mid(std::string_view text, int start, int length) {
  if (start < 1 || length < 0) {
    throw RuntimeError(err::kInvalidCall, "Invalid procedure call or argument: cut of " +
                                              std::to_string(length) + " from " +
                                              std::to_string(start));
  }
  const auto from = std::min(static_cast<std::size_t>(start - 1), text.size());
  return std::string(text.substr(from, static_cast<std::size_t>(length)));
}

std::string Trim(std::string_view text) { return std::string(text::TrimSpaces(text)); }

std::int16_t ToInt16(std::string_view text) {
  std::string_view digits = text::TrimSpaces(text);
  const bool negative = digits.starts_with('-');
  if (negative || digits.starts_with('+')) digits.remove_prefix(1);
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
    throw RuntimeError(err::kTypeMismatch, "Type mismatch: \"" + std::string(text) + "\"");
  }
  std::int64_t value = 0;
  if (std::from_chars(digits.data(), digits.data() + digits.size(), value).ec != std::errc{}) {
    value = std::numeric_limits<std::int64_t>::max();  // more digits than any 16-bit number
  }
  if (negative) value = -value;
  if (value < std::numeric_limits<std::int16_t>::min() || value > kMaxPosition) {
    throw RuntimeError(err::kOverflow, "Overflow: \"" + std::string(text) + "\"");
  }
  return static_cast<std::int16_t>(value);
}

std::optional<std::int16_t> ListedIndex(std::string_view reply, int start) {
  const std::int16_t entry = Find(reply, "+CMGL:", start);
  if (entry == 0) return std::nullopt;
  const std::int16_t colon = Find(reply, ":", entry);
  const std::int16_t comma = Find(reply, ",", colon);
  return ToInt16(Trim(Mid(reply, colon + 1, comma - colon - 1)));
}

std::optional<std::string> MessageReference(std::string_view reply) {
  const std::int16_t at = Find(reply, "+CMGS");
  if (at == 0) return std::nullopt;
  const std::int16_t ok = Find(reply, "OK", at);
  return Trim(Mid(reply, at + 6, ok - at - 6));
}

bool ReportsRegistration(std::string_view reply) {
  // Modem managers commonly leave the modem in mode 2, so every mode counts, not just the
  // first two; the state digit is matched as a prefix, as it always was.
  for (const char mode : {'0', '1', '2', '3'}) {
    for (const char state : {'1', '5'}) {
      const std::string text = std::string("+CREG: ") + mode + ',' + state;
      if (Has(reply, text)) return true;
    }
  }
  return false;
}

std::optional<std::int32_t> ClassifyPINStatus(std::string_view reply) {
  if (Has(reply, "READY")) return modem::sim_pin::kSimReady;
  if (Has(reply, "SIM PIN")) return modem::sim_pin::kPinNeeded;
  if (Has(reply, "SIM PUK")) return modem::sim_pin::kPukNeeded;
  if (Has(reply, "ERROR")) return modem::sim_pin::kSimFailed;
  return std::nullopt;
}

std::int32_t ClassifyPINReply(std::string_view reply) {
  if (Has(reply, "OK")) return modem::sim_pin::kPinAccepted;
  constexpr std::string_view kError = "+CME ERROR: ";
  const auto at = reply.find(kError);
  if (at == std::string_view::npos) return modem::sim_pin::kPinNoAnswer;
  // The whole number counts, and only once its line has ended: 30 or 160 are other errors,
  // and a number still arriving is no answer yet.
  const std::string_view rest = reply.substr(at + kError.size());
  const auto end = rest.find("\r\n");
  if (end == std::string_view::npos) return modem::sim_pin::kPinNoAnswer;
  const std::string_view number = text::TrimSpaces(rest.substr(0, end));
  if (number == "3") return modem::sim_pin::kPinAccepted;
  if (number == "16") return modem::sim_pin::kPinRejected;
  return modem::sim_pin::kPinNoAnswer;
}

}  // namespace selvarn::modem::answers
